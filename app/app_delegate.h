#pragma once

#include <memory>
#include <optional>
#include <string>

#include "app/app_services.h"
#include "platform/main_queue.h"

namespace velmora::app {

// The application's delegate: starts the update check once the application has launched, when
// the user allows notifications, and tells the front end that closing the window quits.
//
// Must be owned by a std::shared_ptr: the permission answer holds it weakly.
class AppDelegate : public std::enable_shared_from_this<AppDelegate> {
 public:
  AppDelegate(platform::MainQueue& mainQueue, NotificationPermissionRequester& notifications,
              UpdateCheckerFactory makeUpdateChecker);

  // Creates the update checker and asks for permission to show alerts with sound; once granted,
  // the check runs on the main queue. A refusal that comes with an error is logged. Main thread.
  void applicationDidFinishLaunching();
  // Nothing to do: the window controller stops the relay on the will-terminate notification.
  void applicationWillTerminate() {}
  bool applicationSupportsSecureRestorableState() const { return true; }
  bool applicationShouldTerminateAfterLastWindowClosed() const { return true; }

  // Created at launch and kept for the application's lifetime; main thread.
  std::shared_ptr<UpdateCheckStarter> updateChecker;

 private:
  void permissionAnswered(bool granted, const std::optional<std::string>& error);

  platform::MainQueue& mainQueue_;
  NotificationPermissionRequester& notifications_;
  UpdateCheckerFactory makeUpdateChecker_;
};

}  // namespace velmora::app
