#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>

namespace velmora::platform {

// The class of work a task belongs to; passed through to the thread as its name.
enum class QualityOfService { userInteractive, userInitiated, utility, background };

// A pool of threads in which a blocked task never delays another: a task submitted while no
// thread is idle gets a new thread at once, and idle threads are reused, then end after a while
// without work. Connections, streamed answers and accept loops each occupy a thread for as long
// as they last.
class WorkerPool {
 public:
  // Starts a thread that runs `body`, detached; raises std::system_error when none can be made.
  using ThreadLauncher = std::function<void(std::function<void()> body)>;
  static void launchDetachedThread(std::function<void()> body);

  explicit WorkerPool(std::chrono::milliseconds idleLifetime = std::chrono::seconds(10),
                      ThreadLauncher launcher = launchDetachedThread);
  // Waits for every thread of the pool to finish its task and end.
  ~WorkerPool();
  WorkerPool(const WorkerPool&) = delete;
  WorkerPool& operator=(const WorkerPool&) = delete;

  // Runs `task` on a pool thread; never blocks on other tasks. Any thread. Raises the launcher's
  // error (std::system_error: the system is out of threads, or of memory for their stacks) when
  // the task needs a new thread and none can be made; the task then never runs.
  void submit(std::function<void()> task, QualityOfService quality = QualityOfService::utility);

  // Threads alive now, busy or idle.
  std::size_t threadCount() const;

  // The process-wide pool. It is never destroyed, so tasks still running at exit are not torn
  // down under their feet. VELMORA_POOL_THREAD_LIMIT=N in the environment makes it fail to
  // launch threads as the system would once N of them are alive (for the fault-and-load suite).
  static WorkerPool& shared();

 private:
  struct Task {
    std::function<void()> run;
    QualityOfService quality;
    uint64_t number;  // tells a task apart after a failed launch
  };
  void workerLoop();

  const std::chrono::milliseconds idleLifetime_;
  const ThreadLauncher launcher_;
  mutable std::mutex mutex_;
  std::condition_variable workAvailable_;
  std::condition_variable allEnded_;
  std::deque<Task> tasks_;    // guarded by mutex_
  std::size_t threads_ = 0;   // guarded by mutex_
  std::size_t idle_ = 0;      // guarded by mutex_
  bool stopping_ = false;     // guarded by mutex_
  uint64_t submitted_ = 0;    // guarded by mutex_
};

}  // namespace velmora::platform
