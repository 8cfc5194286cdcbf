#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace velmora::app {

// The services the application's life cycle reaches. The desktop front end provides the real
// ones (the update checker, the freedesktop notification service); the headless front end and
// the tests provide their own.

// The update checker as the application delegate sees it.
class UpdateCheckStarter {
 public:
  virtual ~UpdateCheckStarter() = default;
  // Reads the update document once and announces a newer version. Main thread.
  virtual void checkForUpdate() = 0;
};

// Creates the update checker and makes it the receiver of this application's notification
// activations, so it can answer a click on the notification it posts. May give nullptr when the
// front end has no update check. Main thread.
using UpdateCheckerFactory = std::function<std::shared_ptr<UpdateCheckStarter>()>;

// Option bits of a notification permission request (alert and sound together are 6).
enum class NotificationOption : unsigned { badge = 1u << 0, sound = 1u << 1, alert = 1u << 2 };

// Asks the desktop whether this application may show notifications.
class NotificationPermissionRequester {
 public:
  // `error` is the service's description of a failure, absent when none came.
  using Answer = std::function<void(bool granted, std::optional<std::string> error)>;

  virtual ~NotificationPermissionRequester() = default;
  // Asks for `options` (NotificationOption bits); returns at once. `answer` is called exactly
  // once, later, on a background thread. Any thread.
  virtual void requestAuthorization(unsigned options, Answer answer) = 0;
};

// The application-will-terminate notification. Observers are added by window controllers and
// never removed; an observer whose owner has gone is skipped and forgotten. The front end posts
// it while the application ends: the desktop from the toolkit's quit signal, the headless run on
// SIGINT or SIGTERM.
class WillTerminateNotification {
 public:
  // The process-wide centre.
  static WillTerminateNotification& defaultCenter() {
    static WillTerminateNotification center;
    return center;
  }

  // Calls `observer` at each post while `owner` is alive. Any thread.
  void addObserver(std::weak_ptr<const void> owner, std::function<void()> observer) {
    std::lock_guard lock(mutex_);
    std::erase_if(entries_, [](const Entry& entry) { return entry.owner.expired(); });
    entries_.push_back({std::move(owner), std::move(observer)});
  }

  // Calls every live observer, in the order they were added, on the calling thread; observers
  // run without the centre's lock held, so they may add observers. Any thread.
  void post() {
    std::vector<Entry> entries;
    {
      std::lock_guard lock(mutex_);
      entries = entries_;
    }
    for (const Entry& entry : entries) {
      // The owner is kept alive while its observer runs.
      if (auto owner = entry.owner.lock()) entry.observer();
    }
  }

 private:
  struct Entry {
    std::weak_ptr<const void> owner;
    std::function<void()> observer;
  };
  std::mutex mutex_;
  std::vector<Entry> entries_;  // guarded by mutex_
};

}  // namespace velmora::app
