#include "desktop/tracked_http_client.h"

#include <algorithm>

namespace velmora::desktop {

std::shared_ptr<platform::HttpClientTask> TrackedHttpClient::start(
    platform::HttpClientRequest request, std::shared_ptr<platform::HttpClientDelegate> delegate) {
  auto task = inner_.start(std::move(request), std::move(delegate));
  track(task);
  return task;
}

void TrackedHttpClient::run(
    platform::HttpClientRequest request, std::shared_ptr<platform::HttpClientDelegate> delegate,
    const std::function<void(const std::shared_ptr<platform::HttpClientTask>&)>& started) {
  // Nothing of this object is touched once the request runs: the application may end it then.
  inner_.run(std::move(request), std::move(delegate),
             [this, &started](const std::shared_ptr<platform::HttpClientTask>& task) {
               track(task);
               started(task);
             });
}

void TrackedHttpClient::track(const std::shared_ptr<platform::HttpClientTask>& task) {
  bool closing;
  {
    std::lock_guard lock(mutex_);
    std::erase_if(tasks_, [](const auto& weak) {
      const auto running = weak.lock();
      return !running || running->isFinished();
    });
    tasks_.push_back(task);
    closing = closing_;
  }
  if (closing) task->cancel();
}

bool TrackedHttpClient::cancelAllAndWait(std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  std::vector<std::shared_ptr<platform::HttpClientTask>> running;
  {
    std::lock_guard lock(mutex_);
    closing_ = true;
    for (const auto& weak : tasks_) {
      if (auto task = weak.lock()) running.push_back(std::move(task));
    }
    tasks_.clear();
  }
  for (const auto& task : running) task->cancel();
  bool allFinished = true;
  for (const auto& task : running) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (!task->waitUntilFinished(std::max(left, std::chrono::milliseconds(0)))) allFinished = false;
  }
  return allFinished;
}

}  // namespace velmora::desktop
