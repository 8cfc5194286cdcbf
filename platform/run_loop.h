#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <thread>
#include <utility>

#include "platform/main_queue.h"

namespace velmora::platform {

// A main queue served by one thread that calls run(): the main queue of headless runs and tests.
//
// The main thread is the thread inside run(); before the first run() it is the thread that
// constructed the queue. Tasks run one at a time, in the order they were queued; delayed tasks
// run when they are due, ordered by due time and then by queuing order. An exception that
// escapes an async or delayed task is printed as one console line and the loop goes on.
//
// quit() ends the queue for good: run() returns after the task in progress, tasks still queued
// are discarded without running, later tasks are discarded at once, and every sync() waiting for
// a discarded task returns false.
class RunLoopMainQueue final : public MainQueue {
 public:
  RunLoopMainQueue();
  // Discards what is still queued. run() must have returned (or never been called).
  ~RunLoopMainQueue() override;
  RunLoopMainQueue(const RunLoopMainQueue&) = delete;
  RunLoopMainQueue& operator=(const RunLoopMainQueue&) = delete;

  void async(Task task) override;
  bool sync(Task task) override;
  void after(std::chrono::steady_clock::duration delay, Task task) override;
  bool isMainThread() const override;

  // Makes the calling thread the main thread and runs tasks until quit(). Returns at once when
  // quit() came first.
  void run();
  // Stops the queue; run() returns once the task in progress has ended. Any thread, also from a
  // task on the main thread.
  void quit();

 private:
  using Clock = std::chrono::steady_clock;
  using Key = std::pair<Clock::time_point, uint64_t>;  // due time, then queuing order

  void enqueue(Clock::time_point due, Task task);
  void discardQueued();

  std::atomic<std::thread::id> mainThread_;
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::map<Key, Task> tasks_;  // guarded by mutex_
  uint64_t nextSequence_ = 0;  // guarded by mutex_
  bool quitting_ = false;      // guarded by mutex_
};

}  // namespace velmora::platform
