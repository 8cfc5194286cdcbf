#include "app/app_delegate.h"

#include "platform/console.h"

namespace velmora::app {

AppDelegate::AppDelegate(platform::MainQueue& mainQueue,
                         NotificationPermissionRequester& notifications,
                         UpdateCheckerFactory makeUpdateChecker)
    : mainQueue_(mainQueue),
      notifications_(notifications),
      makeUpdateChecker_(std::move(makeUpdateChecker)) {}

void AppDelegate::applicationDidFinishLaunching() {
  // The factory also makes the checker the receiver of notification activations.
  if (makeUpdateChecker_) updateChecker = makeUpdateChecker_();
  const unsigned options = static_cast<unsigned>(NotificationOption::alert) |
                           static_cast<unsigned>(NotificationOption::sound);
  notifications_.requestAuthorization(
      options, [weak = weak_from_this()](bool granted, std::optional<std::string> error) {
        if (auto self = weak.lock()) self->permissionAnswered(granted, error);
      });
}

// On the notification service's thread: only queues or logs.
void AppDelegate::permissionAnswered(bool granted, const std::optional<std::string>& error) {
  if (granted) {
    mainQueue_.async([weak = weak_from_this()] {
      auto self = weak.lock();
      if (self && self->updateChecker) self->updateChecker->checkForUpdate();
    });
  } else if (error) {
    platform::printLine("通知許可のリクエストエラー: " + *error);
  }
}

}  // namespace velmora::app
