#include "desktop/tracked_http_client.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <future>
#include <mutex>
#include <thread>

namespace velmora::desktop {
namespace {

using namespace std::chrono_literals;
constexpr auto kPatience = 20s;  // only against hangs

// A request that runs until it is cancelled, and then reports "cancelled" on its own thread.
class HeldTask final : public platform::HttpClientTask {
 public:
  explicit HeldTask(std::shared_ptr<platform::HttpClientDelegate> delegate)
      : delegate_(std::move(delegate)) {}
  ~HeldTask() override {
    if (thread_.joinable()) thread_.join();
  }

  void cancel() override {
    std::lock_guard lock(mutex_);
    if (cancelled_) return;
    cancelled_ = true;
    thread_ = std::thread([this] {
      delegate_->didCompleteWithError(std::string("cancelled"));
      std::lock_guard inner(mutex_);
      finished_ = true;
      changed_.notify_all();
    });
  }
  bool isFinished() const override {
    std::lock_guard lock(mutex_);
    return finished_;
  }
  bool waitUntilFinished(std::chrono::milliseconds timeout) const override {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [this] { return finished_; });
  }

 private:
  const std::shared_ptr<platform::HttpClientDelegate> delegate_;
  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  bool cancelled_ = false;  // guarded by mutex_
  bool finished_ = false;   // guarded by mutex_
  std::thread thread_;      // the completion's; set under mutex_
};

// Has only start(): run() is the base class's, which waits for the started task.
class HeldClient final : public platform::HttpClient {
 public:
  std::shared_ptr<platform::HttpClientTask> start(
      platform::HttpClientRequest,
      std::shared_ptr<platform::HttpClientDelegate> delegate) override {
    return std::make_shared<HeldTask>(std::move(delegate));
  }
};

class Completion final : public platform::HttpClientDelegate {
 public:
  void didReceiveData(std::span<const uint8_t>) override {}
  void didCompleteWithError(const std::optional<std::string>& error) override {
    std::lock_guard lock(mutex_);
    error_ = error.value_or("none");
  }
  std::string error() const {
    std::lock_guard lock(mutex_);
    return error_;
  }

 private:
  mutable std::mutex mutex_;
  std::string error_;  // guarded by mutex_
};

TEST(TrackedHttpClient, RequestsRunOnTheCallersThreadAreCancelledWithTheOthers) {
  HeldClient inner;
  TrackedHttpClient client(inner);
  auto ran = std::make_shared<Completion>();
  std::promise<std::shared_ptr<platform::HttpClientTask>> started;
  auto runTask = started.get_future();
  std::promise<void> returned;
  auto runReturned = returned.get_future();
  std::thread caller([&] {
    client.run({.url = "http://127.0.0.1:9/"}, ran,
               [&](const auto& task) { started.set_value(task); });
    returned.set_value();
  });
  ASSERT_EQ(runTask.wait_for(kPatience), std::future_status::ready);
  auto startedOne = std::make_shared<Completion>();
  auto task = client.start({.url = "http://127.0.0.1:9/"}, startedOne);

  EXPECT_TRUE(client.cancelAllAndWait(kPatience));
  const bool ended = runReturned.wait_for(kPatience) == std::future_status::ready;
  EXPECT_TRUE(ended) << "run() still waits for a request the client did not cancel";
  if (!ended) runTask.get()->cancel();  // lets the caller go
  caller.join();
  EXPECT_EQ(ran->error(), "cancelled");
  EXPECT_EQ(startedOne->error(), "cancelled");

  // Once closing has begun, a request run afterwards is cancelled as soon as it starts.
  auto late = std::make_shared<Completion>();
  client.run({.url = "http://127.0.0.1:9/"}, late, [](const auto&) {});
  EXPECT_EQ(late->error(), "cancelled");
}

}  // namespace
}  // namespace velmora::desktop
