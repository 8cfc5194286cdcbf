#include "platform/worker_pool.h"

#include <pthread.h>
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <memory>
#include <system_error>
#include <thread>

namespace velmora::platform {

namespace {

// The class is a label on the thread: the relay serves people waiting for answers, so background
// work is not made to wait behind anything else.
void applyQuality(QualityOfService quality) {
  const char* name = "velmora-work";
  switch (quality) {
    case QualityOfService::userInteractive: name = "velmora-ui"; break;
    case QualityOfService::userInitiated: name = "velmora-user"; break;
    case QualityOfService::utility: name = "velmora-utility"; break;
    case QualityOfService::background: name = "velmora-bg"; break;
  }
  pthread_setname_np(pthread_self(), name);
}

// With VELMORA_POOL_THREAD_LIMIT=N (N > 0) in the environment, the shared pool's launcher fails
// as the system's would once N of its threads are alive: the fault-and-load suite runs out of
// threads this way without lowering a limit that other processes of the user share.
WorkerPool::ThreadLauncher sharedLauncher() {
  const char* limit = std::getenv("VELMORA_POOL_THREAD_LIMIT");
  const long most = limit != nullptr ? std::atol(limit) : 0;
  if (most <= 0) return WorkerPool::launchDetachedThread;
  auto alive = std::make_shared<std::atomic<long>>(0);
  return [alive, most](std::function<void()> body) {
    if (alive->fetch_add(1) >= most) {
      alive->fetch_sub(1);
      throw std::system_error(EAGAIN, std::generic_category(), "VELMORA_POOL_THREAD_LIMIT");
    }
    try {
      WorkerPool::launchDetachedThread([alive, body = std::move(body)] {
        body();
        alive->fetch_sub(1);
      });
    } catch (...) {
      alive->fetch_sub(1);
      throw;
    }
  };
}

}  // namespace

void WorkerPool::launchDetachedThread(std::function<void()> body) {
  std::thread(std::move(body)).detach();
}

WorkerPool::WorkerPool(std::chrono::milliseconds idleLifetime, ThreadLauncher launcher)
    : idleLifetime_(idleLifetime), launcher_(std::move(launcher)) {}

WorkerPool::~WorkerPool() {
  std::unique_lock lock(mutex_);
  stopping_ = true;
  workAvailable_.notify_all();
  allEnded_.wait(lock, [this] { return threads_ == 0; });
}

WorkerPool& WorkerPool::shared() {
  static WorkerPool* pool = new WorkerPool(std::chrono::seconds(10), sharedLauncher());
  return *pool;
}

std::size_t WorkerPool::threadCount() const {
  std::lock_guard lock(mutex_);
  return threads_;
}

void WorkerPool::submit(std::function<void()> task, QualityOfService quality) {
  std::unique_lock lock(mutex_);
  const uint64_t number = ++submitted_;
  tasks_.push_back({std::move(task), quality, number});
  // Every queued task needs an idle thread of its own, or a new one.
  if (idle_ >= tasks_.size()) {
    workAvailable_.notify_one();
    return;
  }
  ++threads_;
  lock.unlock();
  try {
    launcher_([this] { workerLoop(); });
  } catch (...) {
    lock.lock();
    --threads_;
    if (threads_ == 0) allEnded_.notify_all();
    // A thread that came free meanwhile may have taken the task: then it runs after all. Left in
    // the queue, it would run at some later moment that its caller no longer expects.
    const auto queued = std::find_if(tasks_.begin(), tasks_.end(),
                                     [number](const Task& t) { return t.number == number; });
    if (queued == tasks_.end()) return;
    Task dropped = std::move(*queued);
    tasks_.erase(queued);
    lock.unlock();  // what the task holds is released without the lock
    throw;
  }
}

void WorkerPool::workerLoop() {
  std::unique_lock lock(mutex_);
  for (;;) {
    if (tasks_.empty()) {
      ++idle_;
      const bool woke = workAvailable_.wait_for(lock, idleLifetime_,
                                                [this] { return !tasks_.empty() || stopping_; });
      --idle_;
      if (!woke || (tasks_.empty() && stopping_)) break;
      if (tasks_.empty()) continue;
    }
    Task task = std::move(tasks_.front());
    tasks_.pop_front();
    lock.unlock();
    applyQuality(task.quality);
    try {
      task.run();
    } catch (const std::exception& error) {
      std::fprintf(stderr, "velmora: a task ended with an uncaught error: %s\n", error.what());
    }
    task.run = nullptr;  // release what the task held before taking the lock again
    lock.lock();
  }
  --threads_;
  if (threads_ == 0) allEnded_.notify_all();
}

}  // namespace velmora::platform
