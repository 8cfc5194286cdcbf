#pragma once

#include <memory>
#include <optional>
#include <string>

#include "desktop/headless_run.h"

namespace velmora::app {
class AppDelegate;
class ViewController;
class NotificationPermissionRequester;
}  // namespace velmora::app
namespace velmora::platform {
class CurlHttpClient;
class SettingsFile;
}  // namespace velmora::platform
namespace velmora::update {
class NotificationService;
}

namespace velmora::desktop {

class MainWindow;
class QtMainQueue;
class TrackedHttpClient;

// What a windowed run reaches beyond the window; tests replace it so that nothing leaves the
// machine.
struct DesktopServices {
  // The freedesktop notification service on the session bus when null.
  std::shared_ptr<update::NotificationService> notifications;
  // The update document's address; the one set when building when absent.
  std::optional<std::string> updateURL;
};

// Whether a window can be shown: $DISPLAY, $WAYLAND_DISPLAY or $QT_QPA_PLATFORM is set and not
// empty. Any thread.
bool displayAvailable();

// Everything a run with the window owns: the Qt main queue, the settings, the HTTP client, the
// window and its controller, the application delegate with the update check. Create it on the
// thread of the QApplication, after the QApplication, and destroy it there.
class DesktopApp {
 public:
  // Stores the options' values in the settings, as a choice in the window would.
  explicit DesktopApp(const HeadlessOptions& options, DesktopServices services = {});
  // Ends the backend requests still running and the notification service.
  ~DesktopApp();
  DesktopApp(const DesktopApp&) = delete;
  DesktopApp& operator=(const DesktopApp&) = delete;

  // Finishes the launch, shows the window and runs the Qt event loop until the application quits
  // (the window closed, QCoreApplication::quit()); a running relay is stopped on the way out.
  // Answers the event loop's status. Once only.
  int exec();

  MainWindow& window() { return *window_; }
  app::ViewController& controller() { return *controller_; }
  app::AppDelegate& delegate() { return *delegate_; }

 private:
  void launch();

  std::shared_ptr<QtMainQueue> mainQueue_;
  std::unique_ptr<platform::SettingsFile> settings_;
  std::unique_ptr<platform::CurlHttpClient> curl_;
  std::shared_ptr<TrackedHttpClient> httpClient_;
  std::shared_ptr<update::NotificationService> notifications_;
  std::unique_ptr<app::NotificationPermissionRequester> permission_;
  std::string updateURL_;
  std::unique_ptr<MainWindow> window_;
  std::shared_ptr<app::ViewController> controller_;  // holds the window's controls
  std::shared_ptr<app::AppDelegate> delegate_;
};

// Runs velmora with its window: creates the QApplication, quits on SIGINT and SIGTERM as when
// the window closes (answering 0), and answers the event loop's status. Must be called on the
// process's main thread before any other thread exists.
int runDesktop(int& argc, char** argv, const HeadlessOptions& options);

}  // namespace velmora::desktop
