#include "platform/run_loop.h"

#include <exception>
#include <memory>
#include <string>

#include "platform/console.h"

namespace velmora::platform {

namespace {

// What a waiting sync() learns about its task.
struct SyncState {
  std::mutex mutex;
  std::condition_variable finished;
  bool done = false;         // guarded by mutex
  bool ran = false;          // guarded by mutex
  std::exception_ptr error;  // guarded by mutex
};

// Marks the task done when the queue lets go of it: after it ran, or when it was discarded.
struct SyncRelease {
  explicit SyncRelease(std::shared_ptr<SyncState> s) : state(std::move(s)) {}
  SyncRelease(const SyncRelease&) = delete;
  SyncRelease& operator=(const SyncRelease&) = delete;
  std::shared_ptr<SyncState> state;
  ~SyncRelease() {
    std::lock_guard lock(state->mutex);
    state->done = true;
    state->finished.notify_all();
  }
};

}  // namespace

RunLoopMainQueue::RunLoopMainQueue() : mainThread_(std::this_thread::get_id()) {}

RunLoopMainQueue::~RunLoopMainQueue() {
  quit();
  discardQueued();
}

void RunLoopMainQueue::async(Task task) {
  enqueue(Clock::now(), std::move(task));
}

void RunLoopMainQueue::after(std::chrono::steady_clock::duration delay, Task task) {
  const auto now = Clock::now();
  if (delay < Clock::duration::zero()) delay = Clock::duration::zero();
  // A delay beyond the clock's range means "never"; the sum must not overflow.
  const auto due = delay > Clock::time_point::max() - now ? Clock::time_point::max() : now + delay;
  enqueue(due, std::move(task));
}

bool RunLoopMainQueue::isMainThread() const {
  return mainThread_.load() == std::this_thread::get_id();
}

bool RunLoopMainQueue::sync(Task task) {
  if (isMainThread()) {
    task();
    return true;
  }
  auto state = std::make_shared<SyncState>();
  {
    auto release = std::make_shared<SyncRelease>(state);
    // The caller waits below until the queue has let go of the wrapper, so `task` outlives it.
    enqueue(Clock::now(), [release, &task] {
      std::exception_ptr error;
      try {
        task();
      } catch (...) {
        error = std::current_exception();
      }
      std::lock_guard lock(release->state->mutex);
      release->state->ran = true;
      release->state->error = error;
    });
  }
  std::unique_lock lock(state->mutex);
  state->finished.wait(lock, [&] { return state->done; });
  if (state->error) std::rethrow_exception(state->error);
  return state->ran;
}

void RunLoopMainQueue::enqueue(Clock::time_point due, Task task) {
  std::unique_lock lock(mutex_);
  if (quitting_) {
    lock.unlock();
    return;  // `task` is destroyed here, outside the lock
  }
  tasks_.emplace(Key{due, nextSequence_++}, std::move(task));
  changed_.notify_one();
}

void RunLoopMainQueue::run() {
  mainThread_.store(std::this_thread::get_id());
  std::unique_lock lock(mutex_);
  while (!quitting_) {
    if (tasks_.empty()) {
      changed_.wait(lock);
      continue;
    }
    auto first = tasks_.begin();
    if (first->first.first > Clock::now()) {
      changed_.wait_until(lock, first->first.first);
      continue;
    }
    Task task = std::move(first->second);
    tasks_.erase(first);
    lock.unlock();
    try {
      task();
    } catch (const std::exception& error) {
      printLine(std::string("velmora: a main-queue task ended with an uncaught error: ") +
                error.what());
    } catch (...) {
      printLine("velmora: a main-queue task ended with an uncaught error");
    }
    task = nullptr;  // release what the task held (and wake its sync caller) before locking again
    lock.lock();
  }
  lock.unlock();
  discardQueued();
}

void RunLoopMainQueue::quit() {
  std::lock_guard lock(mutex_);
  quitting_ = true;
  changed_.notify_all();
}

void RunLoopMainQueue::discardQueued() {
  std::map<Key, Task> discarded;
  {
    std::lock_guard lock(mutex_);
    discarded.swap(tasks_);
  }
  // Destroyed outside the lock: a task's captures may queue more work, which is then dropped.
}

}  // namespace velmora::platform
