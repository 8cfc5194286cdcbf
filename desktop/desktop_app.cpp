#include "desktop/desktop_app.h"

#include <fcntl.h>
#include <unistd.h>

#include <QApplication>
#include <QSocketNotifier>
#include <cerrno>
#include <csignal>
#include <cstdlib>

#include "app/app_delegate.h"
#include "app/app_services.h"
#include "app/view_controller.h"
#include "desktop/dbus_notification_service.h"
#include "desktop/main_window.h"
#include "desktop/qt_main_queue.h"
#include "desktop/qt_update_services.h"
#include "desktop/tracked_http_client.h"
#include "platform/console.h"
#include "platform/host_addresses.h"
#include "platform/http_client.h"
#include "platform/settings_file.h"
#include "update/curl_document_fetcher.h"
#include "update/update_checker.h"
#include "velmora/version.h"

namespace velmora::desktop {

namespace {

constexpr auto kRequestShutdownTimeout = std::chrono::seconds(5);

bool isSet(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr && *value != '\0';
}

// The application delegate asks for permission through the notification service.
class PermissionRequester final : public app::NotificationPermissionRequester {
 public:
  explicit PermissionRequester(std::shared_ptr<update::NotificationService> service)
      : service_(std::move(service)) {}
  void requestAuthorization(unsigned options, Answer answer) override {
    service_->requestAuthorization(options, std::move(answer));
  }

 private:
  std::shared_ptr<update::NotificationService> service_;
};

// The update checker as the application delegate starts it.
class UpdateCheckStarter final : public app::UpdateCheckStarter {
 public:
  explicit UpdateCheckStarter(std::shared_ptr<update::UpdateChecker> checker)
      : checker_(std::move(checker)) {}
  void checkForUpdate() override { checker_->checkForUpdate(); }

 private:
  std::shared_ptr<update::UpdateChecker> checker_;
};

// SIGINT and SIGTERM end the application as closing its window does: the handler only writes a
// byte to a pipe, and the event loop, woken by it, quits.
class StopSignals {
 public:
  StopSignals() {
    if (::pipe2(fds_, O_CLOEXEC | O_NONBLOCK) != 0) {
      platform::printLine("velmora: no pipe for the stop signals; SIGINT and SIGTERM end at once");
      return;
    }
    writeEnd() = fds_[1];
    notifier_ = std::make_unique<QSocketNotifier>(fds_[0], QSocketNotifier::Read);
    QObject::connect(notifier_.get(), &QSocketNotifier::activated, [this] {
      char bytes[16];
      while (::read(fds_[0], bytes, sizeof bytes) > 0) {
      }
      QCoreApplication::quit();
    });
    struct sigaction action = {};
    action.sa_handler = &StopSignals::handle;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    ::sigaction(SIGINT, &action, nullptr);
    ::sigaction(SIGTERM, &action, nullptr);
  }

  ~StopSignals() {
    if (fds_[0] < 0) return;
    std::signal(SIGINT, SIG_DFL);
    std::signal(SIGTERM, SIG_DFL);
    writeEnd() = -1;
    notifier_.reset();
    ::close(fds_[0]);
    ::close(fds_[1]);
  }
  StopSignals(const StopSignals&) = delete;
  StopSignals& operator=(const StopSignals&) = delete;

 private:
  static volatile std::sig_atomic_t& writeEnd() {
    static volatile std::sig_atomic_t fd = -1;
    return fd;
  }

  static void handle(int) {
    const int savedErrno = errno;
    const int fd = writeEnd();
    if (fd >= 0) {
      const char byte = 1;
      // A full pipe already holds a wake-up; nothing is lost by dropping this one.
      [[maybe_unused]] const auto written = ::write(fd, &byte, 1);
    }
    errno = savedErrno;
  }

  int fds_[2] = {-1, -1};
  std::unique_ptr<QSocketNotifier> notifier_;
};

}  // namespace

bool displayAvailable() {
  return isSet("DISPLAY") || isSet("WAYLAND_DISPLAY") || isSet("QT_QPA_PLATFORM");
}

DesktopApp::DesktopApp(const HeadlessOptions& options, DesktopServices services)
    : mainQueue_(std::make_shared<QtMainQueue>()),
      settings_(std::make_unique<platform::SettingsFile>(
          options.settingsPath.value_or(platform::SettingsFile::defaultPath()))),
      curl_(std::make_unique<platform::CurlHttpClient>()),
      httpClient_(std::make_shared<TrackedHttpClient>(*curl_)),
      notifications_(services.notifications ? std::move(services.notifications)
                                            : std::make_shared<DBusNotificationService>()),
      permission_(std::make_unique<PermissionRequester>(notifications_)),
      updateURL_(services.updateURL.value_or(update::defaultUpdateURL())),
      window_(std::make_unique<MainWindow>()) {
  storeOptions(options, *settings_);

  controller_ = std::make_shared<app::ViewController>(window_->view(), *mainQueue_, *settings_,
                                                      *httpClient_, platform::hostAddresses);
  delegate_ = std::make_shared<app::AppDelegate>(*mainQueue_, *permission_, [this] {
    update::UpdateCheckerServices checkerServices{
        std::make_shared<update::CurlDocumentFetcher>(httpClient_),
        notifications_,
        std::make_shared<QtAlertPresenter>(),
        std::make_shared<QtUrlOpener>(),
        mainQueue_,
    };
    auto checker = std::make_shared<update::UpdateChecker>(std::move(checkerServices), updateURL_);
    // The checker answers the activation of the notification it posts.
    notifications_->setDelegate(checker);
    return std::make_shared<UpdateCheckStarter>(std::move(checker));
  });
}

DesktopApp::~DesktopApp() {
  // Nothing may wait on an event loop that no longer turns.
  mainQueue_->quit();
  if (!httpClient_->cancelAllAndWait(kRequestShutdownTimeout)) {
    platform::printLine("Some backend requests did not end in time");
  }
  // Pending notification callbacks hold the update checker; ending the service's thread here
  // releases them on this thread.
  if (auto dbus = std::dynamic_pointer_cast<DBusNotificationService>(notifications_)) {
    dbus->shutdown();
  }
  delegate_.reset();
  controller_.reset();
  window_.reset();
}

void DesktopApp::launch() {
  window_->setController(controller_);
  // The relay's backend requests follow the stored address from the start, not only after the
  // host or port has been edited.
  controller_->loadSettings();
  controller_->applyBackendAddress(std::nullopt);  // a launch stores nothing

  delegate_->applicationDidFinishLaunching();
  window_->show();
}

int DesktopApp::exec() {
  auto* application = qobject_cast<QApplication*>(QCoreApplication::instance());
  application->setQuitOnLastWindowClosed(
      delegate_->applicationShouldTerminateAfterLastWindowClosed());
  const auto connection =
      QObject::connect(application, &QCoreApplication::aboutToQuit, application, [this] {
        app::WillTerminateNotification::defaultCenter().post();
        delegate_->applicationWillTerminate();
      });
  launch();
  const int status = QApplication::exec();
  QObject::disconnect(connection);
  return status;
}

int runDesktop(int& argc, char** argv, const HeadlessOptions& options) {
  // A reader of standard output that went away must not end the relay.
  std::signal(SIGPIPE, SIG_IGN);
  QApplication application(argc, argv);
  QApplication::setApplicationName(QStringLiteral("Velmora"));
  // On Wayland the compositor finds the launcher entry, and with it the icon, by this name.
  QApplication::setDesktopFileName(QString::fromLatin1(kApplicationId));
  StopSignals stopSignals;
  int status = 0;
  {
    DesktopApp desktop(options);
    status = desktop.exec();
  }
  return status;
}

}  // namespace velmora::desktop
