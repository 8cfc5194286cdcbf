#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

namespace velmora::update {

// What a permission request asks to do; the bits are those of the original notification centre
// (alert and sound together are 6).
enum class AuthorizationOption : unsigned { badge = 1u << 0, sound = 1u << 1, alert = 1u << 2 };
using AuthorizationOptions = unsigned;  // AuthorizationOption bits or'ed together

constexpr AuthorizationOptions operator|(AuthorizationOption a, AuthorizationOption b) {
  return static_cast<unsigned>(a) | static_cast<unsigned>(b);
}

// What a notification shows and carries back on activation.
struct NotificationContent {
  std::string title;
  std::string body;
  // Returned unchanged in the activation's response; an object of any JSON values.
  nlohmann::json userInfo = nlohmann::json::object();
  bool operator==(const NotificationContent&) const = default;
};

// When to show it: once (or repeatedly) after a time interval.
struct NotificationTrigger {
  std::chrono::duration<double> timeInterval{0.0};
  bool repeats = false;
  bool operator==(const NotificationTrigger&) const = default;
};

struct NotificationRequest {
  std::string identifier;  // a later request with the same identifier replaces this one
  NotificationContent content;
  NotificationTrigger trigger;
  bool operator==(const NotificationRequest&) const = default;
};

// The user's activation of a notification this application posted.
struct NotificationResponse {
  NotificationRequest request;   // as it was added
  std::string actionIdentifier;  // "default" for a click on the notification itself
};

// Receives activations. The service holds its delegate weakly.
class NotificationDelegate {
 public:
  virtual ~NotificationDelegate() = default;

  // The user activated a notification of this application; on a thread of the service.
  // `completionHandler` must be called exactly once, before long.
  virtual void didReceiveNotificationResponse(const NotificationResponse& response,
                                              std::function<void()> completionHandler) = 0;
};

// The desktop's user notifications (on Linux the freedesktop notification service over D-Bus).
class NotificationService {
 public:
  // `error` is the service's text for the failure, absent when none was given.
  using AuthorizationHandler = std::function<void(bool granted, std::optional<std::string> error)>;
  using AddCompletion = std::function<void(std::optional<std::string> error)>;

  virtual ~NotificationService() = default;

  // Asks whether this application may show notifications with `options`; returns at once, any
  // thread. `handler` is called exactly once, later, on a background thread of the service: not
  // granted, with the error text, when there is no notification service or it refuses.
  virtual void requestAuthorization(AuthorizationOptions options, AuthorizationHandler handler) = 0;

  // Schedules `request` to be shown when its trigger fires; returns at once, any thread.
  // `completion` is called exactly once, later, on a background thread of the service, with the
  // error text when the request could not be scheduled (no service, refused, bad request).
  virtual void add(NotificationRequest request, AddCompletion completion) = 0;

  // Makes `delegate` the receiver of activations (none after it has expired); any thread.
  virtual void setDelegate(std::weak_ptr<NotificationDelegate> delegate) = 0;
};

}  // namespace velmora::update
