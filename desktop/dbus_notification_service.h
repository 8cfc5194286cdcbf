#pragma once

#include <QString>
#include <chrono>
#include <memory>
#include <mutex>
#include <optional>

#include "update/notification_service.h"

class QThread;

namespace velmora::desktop {

class NotificationBusWorker;

// User notifications through the freedesktop notification service (org.freedesktop.Notifications
// on the session bus). Everything that talks to the bus runs on a thread of the service's own,
// and every handler, completion and delegate call is made there.
//
// - Permission is granted when the service answers GetServerInformation, and refused with the
//   bus's error text when it does not (no session bus, nobody owns the name).
// - add() waits for the trigger's interval, then sends Notify with the application name
//   "Velmora", the title, the body and the "default" action, so that a click on the notification
//   activates it. A later request with the same identifier replaces the one shown.
// - ActionInvoked for one of our notifications reaches the delegate as that request with the
//   action's identifier.
//
// Must be owned by a std::shared_ptr. Needs a QCoreApplication for as long as it lives. Call
// shutdown(), or destroy it, from a thread other than its own.
class DBusNotificationService final : public update::NotificationService {
 public:
  static constexpr const char* kApplicationName = "Velmora";
  static constexpr const char* kDefaultActionLabel = "開く";

  // The session bus, or the bus at `busAddress` (a D-Bus address such as "unix:path=...").
  // Connecting happens on the service's thread at the first request; the constructor does not
  // block. `callTimeout` bounds each call to the service.
  explicit DBusNotificationService(
      std::optional<QString> busAddress = std::nullopt,
      std::chrono::milliseconds callTimeout = std::chrono::seconds(10));
  ~DBusNotificationService() override;
  DBusNotificationService(const DBusNotificationService&) = delete;
  DBusNotificationService& operator=(const DBusNotificationService&) = delete;

  void requestAuthorization(update::AuthorizationOptions options,
                            AuthorizationHandler handler) override;
  void add(update::NotificationRequest request, AddCompletion completion) override;
  void setDelegate(std::weak_ptr<update::NotificationDelegate> delegate) override;

  // Ends the service's thread: notifications still waiting for their trigger are not shown and
  // their completions report so; later requests are answered at once with an error, on the
  // calling thread. Waits for a call to the bus in progress. Idempotent; any thread but the
  // service's own.
  void shutdown();

 private:
  friend class NotificationBusWorker;

  // The delegate to tell about an activation; any thread.
  std::shared_ptr<update::NotificationDelegate> delegate() const;

  mutable std::mutex mutex_;
  std::weak_ptr<update::NotificationDelegate> delegate_;  // guarded by mutex_
  bool stopped_ = false;                                  // guarded by mutex_
  QThread* thread_;                                       // owned
  NotificationBusWorker* worker_;  // lives on thread_; deleted there when it finishes
};

}  // namespace velmora::desktop
