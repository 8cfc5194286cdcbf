#include "desktop/qt_main_queue.h"

#include <QCoreApplication>
#include <QObject>
#include <QThread>
#include <QTimer>
#include <climits>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <stdexcept>
#include <string>

#include "platform/console.h"

namespace velmora::desktop {

namespace {

void runReportingErrors(const platform::MainQueue::Task& task) {
  try {
    task();
  } catch (const std::exception& error) {
    platform::printLine(std::string("velmora: a main-queue task ended with an uncaught error: ") +
                        error.what());
  } catch (...) {
    platform::printLine("velmora: a main-queue task ended with an uncaught error");
  }
}

}  // namespace

// One sync() call. Either the main thread starts the task, and the caller waits for its end, or
// the caller gives up on it once the queue has quit: `started` and `abandoned` decide which,
// under the mutex, so a task never runs after its caller has returned.
struct QtMainQueue::SyncCall {
  std::mutex mutex;
  std::condition_variable changed;
  bool started = false;      // guarded by mutex
  bool abandoned = false;    // guarded by mutex
  bool done = false;         // guarded by mutex
  std::exception_ptr error;  // guarded by mutex
};

QtMainQueue::QtMainQueue()
    : mainThread_(std::this_thread::get_id()), context_(new QObject), timer_(new QTimer(context_)) {
  if (QCoreApplication::instance() == nullptr ||
      QThread::currentThread() != QCoreApplication::instance()->thread()) {
    delete context_;
    throw std::logic_error("QtMainQueue must be created on the Qt application's thread");
  }
  timer_->setSingleShot(true);
  timer_->setTimerType(Qt::PreciseTimer);
  QObject::connect(timer_, &QTimer::timeout, context_, [this] { runDueTasks(); });
}

QtMainQueue::~QtMainQueue() {
  quit();
  // Deleting the context drops the calls still posted to it, and with them their tasks.
  delete context_;
}

void QtMainQueue::async(Task task) {
  if (quitting_.load()) return;
  post([this, task = std::move(task)] {
    if (!quitting_.load()) runReportingErrors(task);
  });
}

void QtMainQueue::post(Task task) {
  QMetaObject::invokeMethod(context_, std::move(task), Qt::QueuedConnection);
}

bool QtMainQueue::sync(Task task) {
  if (isMainThread()) {
    task();
    return true;
  }
  auto call = std::make_shared<SyncCall>();
  {
    std::lock_guard lock(syncMutex_);
    std::erase_if(syncCalls_, [](const auto& weak) { return weak.expired(); });
    syncCalls_.push_back(call);
  }
  // Checked after registering: a quit() from now on finds this call and wakes it.
  if (quitting_.load()) return false;

  post([this, call, task = std::move(task)] {
    {
      std::lock_guard lock(call->mutex);
      if (call->abandoned || quitting_.load()) return;
      call->started = true;
    }
    std::exception_ptr error;
    try {
      task();
    } catch (...) {
      error = std::current_exception();
    }
    std::lock_guard lock(call->mutex);
    call->done = true;
    call->error = error;
    call->changed.notify_all();
  });

  std::unique_lock lock(call->mutex);
  call->changed.wait(lock, [&] { return call->done || (quitting_.load() && !call->started); });
  if (!call->done) {
    call->abandoned = true;
    return false;
  }
  if (call->error) std::rethrow_exception(call->error);
  return true;
}

void QtMainQueue::after(std::chrono::steady_clock::duration delay, Task task) {
  const auto now = Clock::now();
  if (delay < Clock::duration::zero()) delay = Clock::duration::zero();
  // A delay beyond the clock's range means "never"; the sum must not overflow.
  const auto due = delay > Clock::time_point::max() - now ? Clock::time_point::max() : now + delay;
  const Key key{due, nextSequence_.fetch_add(1)};
  if (quitting_.load()) return;
  post([this, key, task = std::move(task)]() mutable {
    if (quitting_.load()) return;
    delayed_.emplace(key, std::move(task));
    rescheduleTimer();
  });
}

bool QtMainQueue::isMainThread() const {
  return std::this_thread::get_id() == mainThread_;
}

void QtMainQueue::quit() {
  quitting_.store(true);
  std::lock_guard lock(syncMutex_);
  for (const auto& weak : syncCalls_) {
    if (auto call = weak.lock()) {
      // Taking the call's lock orders this wake-up after the waiter's check of quitting_.
      std::lock_guard callLock(call->mutex);
      call->changed.notify_all();
    }
  }
}

void QtMainQueue::runDueTasks() {
  while (!delayed_.empty() && !quitting_.load()) {
    auto first = delayed_.begin();
    if (first->first.first > Clock::now()) break;
    Task task = std::move(first->second);
    delayed_.erase(first);
    // Before running: a task that opens a nested event loop must not hold up the others.
    rescheduleTimer();
    runReportingErrors(task);
  }
  if (quitting_.load()) {
    delayed_.clear();
    timer_->stop();
    return;
  }
  rescheduleTimer();
}

void QtMainQueue::rescheduleTimer() {
  if (delayed_.empty()) {
    timer_->stop();
    return;
  }
  const auto left = delayed_.begin()->first.first - Clock::now();
  // Rounded up: a timer that fires a little early only finds nothing due and waits again.
  auto milliseconds = std::chrono::ceil<std::chrono::milliseconds>(left).count();
  if (milliseconds < 0) milliseconds = 0;
  if (milliseconds > INT_MAX) milliseconds = INT_MAX;  // fires early and waits again
  timer_->start(static_cast<int>(milliseconds));
}

}  // namespace velmora::desktop
