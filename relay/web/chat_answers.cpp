#include "relay/web/chat_answers.h"

#include <atomic>
#include <vector>

namespace velmora::relay::web {

uint64_t ChatAnswers::add() {
  // Numbered for the whole process, not per instance: each start of the relay makes a new
  // instance, and a Stop form from a page of an earlier run must not name another's answer.
  static std::atomic<uint64_t> next{1};
  const uint64_t id = next++;
  std::lock_guard lock(mutex_);
  answers_.emplace(id, Answer{});
  return id;
}

void ChatAnswers::started(uint64_t id, const std::shared_ptr<platform::HttpClientTask>& task) {
  bool cancelNow = false;
  {
    std::lock_guard lock(mutex_);
    const auto found = answers_.find(id);
    if (found == answers_.end()) return;
    found->second.task = task;
    cancelNow = found->second.stopRequested;
  }
  if (cancelNow) task->cancel();
}

void ChatAnswers::finished(uint64_t id) {
  std::lock_guard lock(mutex_);
  answers_.erase(id);
  finished_.notify_all();
}

bool ChatAnswers::stop(std::optional<uint64_t> id, std::chrono::milliseconds timeout) {
  std::vector<uint64_t> stopping;
  std::vector<std::shared_ptr<platform::HttpClientTask>> tasks;
  std::unique_lock lock(mutex_);
  for (auto& [number, answer] : answers_) {
    if (id && number != *id) continue;
    answer.stopRequested = true;
    stopping.push_back(number);
    if (answer.task) tasks.push_back(answer.task);
  }
  lock.unlock();
  // Cancelling closes the backend connection; the request's own thread then reports the end.
  for (const auto& task : tasks) task->cancel();
  lock.lock();
  return finished_.wait_for(lock, timeout, [&] {
    for (const uint64_t number : stopping) {
      if (answers_.contains(number)) return false;
    }
    return true;
  });
}

std::size_t ChatAnswers::streaming() const {
  std::lock_guard lock(mutex_);
  return answers_.size();
}

}  // namespace velmora::relay::web
