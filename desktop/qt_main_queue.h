#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "platform/main_queue.h"

class QObject;
class QTimer;

namespace velmora::desktop {

// The main queue on the Qt event loop: tasks run on the thread of the QCoreApplication, one at a
// time, in the order they were queued; delayed tasks run when they are due, ordered by due time
// and then by queuing order. An exception that escapes an async or delayed task is printed as one
// console line and the loop goes on (it must not unwind through Qt).
//
// quit() ends the queue for good: tasks still queued or delayed are discarded without running,
// later ones at once, and every sync() waiting for a discarded task returns false. The
// application calls it once its event loop has ended, so that no other thread waits forever on
// a loop that no longer turns.
class QtMainQueue final : public platform::MainQueue {
 public:
  // Needs the QCoreApplication; construct and destroy it on that application's thread. It must
  // outlive every thread that may still queue work on it.
  QtMainQueue();
  ~QtMainQueue() override;
  QtMainQueue(const QtMainQueue&) = delete;
  QtMainQueue& operator=(const QtMainQueue&) = delete;

  void async(Task task) override;
  bool sync(Task task) override;
  void after(std::chrono::steady_clock::duration delay, Task task) override;
  bool isMainThread() const override;

  // Stops the queue as described above. Any thread.
  void quit();

 private:
  using Clock = std::chrono::steady_clock;
  using Key = std::pair<Clock::time_point, std::uint64_t>;  // due time, then queuing order

  struct SyncCall;

  void post(Task task);
  void runDueTasks();      // main thread
  void rescheduleTimer();  // main thread

  const std::thread::id mainThread_;
  std::atomic<bool> quitting_{false};
  std::mutex syncMutex_;
  std::vector<std::weak_ptr<SyncCall>> syncCalls_;  // guarded by syncMutex_: the waiting sync()s
  std::atomic<std::uint64_t> nextSequence_{0};
  QObject* context_;             // lives on the application's thread; owns timer_
  QTimer* timer_;                // fires for the earliest delayed task; main thread only
  std::map<Key, Task> delayed_;  // main thread only
};

}  // namespace velmora::desktop
