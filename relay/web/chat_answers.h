#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>

#include "platform/http_client.h"

namespace velmora::relay::web {

// The chat page's answers that are streaming now, by number, so that a Stop button (a request of
// its own, from any browser) can end one. Every call may come from any thread.
class ChatAnswers {
 public:
  // A new answer; its number goes into its page's Stop form. Numbers are never used twice while
  // the process lives, by any instance.
  uint64_t add();
  // The answer's backend request has started. A stop that came before cancels it now.
  void started(uint64_t id, const std::shared_ptr<platform::HttpClientTask>& task);
  // The answer has ended and what it has joined the conversation: it is forgotten, and stop()
  // calls waiting for it return.
  void finished(uint64_t id);
  // Cancels the backend request of answer `id` (every answer when nullopt) and waits until each
  // has finished, at most `timeout`; false when one was still going then. A number no answer has
  // (one already over) asks nothing and answers true.
  bool stop(std::optional<uint64_t> id, std::chrono::milliseconds timeout);
  // How many answers are streaming.
  std::size_t streaming() const;

 private:
  struct Answer {
    std::shared_ptr<platform::HttpClientTask> task;  // null until started
    bool stopRequested = false;
  };

  mutable std::mutex mutex_;
  std::condition_variable finished_;    // notified under mutex_ whenever an answer is forgotten
  std::map<uint64_t, Answer> answers_;  // guarded by mutex_
};

}  // namespace velmora::relay::web
