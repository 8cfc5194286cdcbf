#pragma once

#include <chrono>
#include <functional>

namespace velmora::platform {

// The queue of the main thread: the only thread that touches the window's controls. Other
// threads reach them by queuing work here. The desktop drives it from the toolkit's event loop;
// headless runs and tests use RunLoopMainQueue (platform/run_loop.h).
class MainQueue {
 public:
  using Task = std::function<void()>;

  virtual ~MainQueue() = default;

  // Queues `task` to run on the main thread after every task queued before it. Returns at once.
  // Any thread.
  virtual void async(Task task) = 0;

  // Runs `task` on the main thread and waits until it has run. On the main thread itself it runs
  // inline at once, so it never deadlocks there. An exception raised by the task reaches the
  // caller. Returns false, without running the task, when the queue has stopped for good (the
  // application is ending) and the task can no longer run. Any thread.
  virtual bool sync(Task task) = 0;

  // Queues `task` to run on the main thread once `delay` has passed; tasks due at the same
  // moment run in the order they were queued. Returns at once. Any thread.
  virtual void after(std::chrono::steady_clock::duration delay, Task task) = 0;

  // Whether the calling thread is the main thread. Any thread.
  virtual bool isMainThread() const = 0;
};

}  // namespace velmora::platform
