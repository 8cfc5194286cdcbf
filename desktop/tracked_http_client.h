#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/http_client.h"

namespace velmora::desktop {

// An HttpClient that remembers its requests in progress, so that the application can end all of
// them before it exits: no request thread is then left delivering into objects being torn down.
// Any thread.
class TrackedHttpClient final : public platform::HttpClient {
 public:
  // `inner` makes the requests and must outlive this client.
  explicit TrackedHttpClient(platform::HttpClient& inner) : inner_(inner) {}

  // Starts the request on the inner client. After cancelAllAndWait() has begun, the request is
  // cancelled at once (its completion reports "cancelled").
  std::shared_ptr<platform::HttpClientTask> start(
      platform::HttpClientRequest request,
      std::shared_ptr<platform::HttpClientDelegate> delegate) override;

  // Runs the request on the inner client, remembered as start() remembers it.
  void run(platform::HttpClientRequest request,
           std::shared_ptr<platform::HttpClientDelegate> delegate,
           const std::function<void(const std::shared_ptr<platform::HttpClientTask>&)>& started)
      override;

  // Cancels every request in progress and waits until each has reported its completion; false
  // when some were still running after `timeout` in all.
  bool cancelAllAndWait(std::chrono::milliseconds timeout);

 private:
  // Remembers `task`; cancels it when closing has begun.
  void track(const std::shared_ptr<platform::HttpClientTask>& task);

  platform::HttpClient& inner_;
  std::mutex mutex_;
  std::vector<std::weak_ptr<platform::HttpClientTask>> tasks_;  // guarded by mutex_
  bool closing_ = false;                                        // guarded by mutex_
};

}  // namespace velmora::desktop
