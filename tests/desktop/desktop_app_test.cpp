#include "desktop/desktop_app.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <QAbstractButton>
#include <QApplication>
#include <QDesktopServices>
#include <QMessageBox>
#include <QTextEdit>
#include <QTimer>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>

#include "app/view_controller.h"
#include "desktop/dbus_notification_service.h"
#include "desktop/main_window.h"
#include "tests/desktop/fake_notification_server.h"
#include "tests/desktop/private_bus.h"
#include "tests/desktop/url_catcher.h"
#include "tests/support/fake_backend_process.h"

namespace velmora::desktop {
namespace {

using velmora::testing::FakeBackendProcess;

// A windowed run on a fresh settings file, a fake model server and (unless a test gives one) a
// notification service that is not there; the update document would come from a port where
// nothing listens.
struct WindowedRun {
  explicit WindowedRun(DesktopServices services = {})
      : settings(std::filesystem::temp_directory_path() /
                 ("velmora-desktop-test-" + std::to_string(::getpid()) + "-" +
                  std::to_string(counter()++) + ".json")) {
    HeadlessOptions options;
    options.settingsPath = settings;
    options.model = "fake-model-1";
    options.relayPort = "0";
    options.backendHost = "127.0.0.1";
    options.backendPort = std::to_string(backend.port());
    if (!services.notifications) {
      services.notifications = std::make_shared<DBusNotificationService>(
          QStringLiteral("unix:path=/nonexistent/velmora-bus"));
    }
    if (!services.updateURL) {
      services.updateURL =
          "http://127.0.0.1:" + std::to_string(velmora::testing::unusedLoopbackPort()) +
          "/bin/update_info_macOS.json";
    }
    app = std::make_unique<DesktopApp>(options, std::move(services));
  }
  ~WindowedRun() {
    app.reset();
    std::filesystem::remove(settings);
  }

  // Runs the event loop; `step` is called every few milliseconds until it answers true, which
  // it does once it has ended the application. A run that outlasts the timeout is failed and
  // ended.
  int exec(std::function<bool()> step) {
    bool finished = false;
    QTimer poll;
    poll.setInterval(10);
    QObject::connect(&poll, &QTimer::timeout, [&] {
      if (!finished) finished = step();
    });
    QTimer::singleShot(60000, [&] {
      ADD_FAILURE() << "the run did not end";
      QCoreApplication::quit();
    });
    poll.start();
    return app->exec();
  }

  bool relayServing() { return app->controller().webServer->isServing(); }

  static int& counter() {
    static int value = 0;
    return value;
  }

  FakeBackendProcess backend;
  std::filesystem::path settings;
  std::unique_ptr<DesktopApp> app;
};

// Standard output while it lives, readable as it grows (the notification service prints from a
// thread of its own, whenever its answer comes).
class StdoutRecorder {
 public:
  StdoutRecorder() {
    std::fflush(stdout);
    int ends[2];
    if (::pipe(ends) != 0) throw std::runtime_error("pipe failed");
    saved_ = ::dup(STDOUT_FILENO);
    ::dup2(ends[1], STDOUT_FILENO);
    ::close(ends[1]);
    reader_ = std::thread([this, fd = ends[0]] {
      char buffer[4096];
      for (;;) {
        const ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got <= 0) break;
        std::lock_guard lock(mutex_);
        text_.append(buffer, static_cast<std::size_t>(got));
      }
      ::close(fd);
    });
  }
  ~StdoutRecorder() { stop(); }
  StdoutRecorder(const StdoutRecorder&) = delete;
  StdoutRecorder& operator=(const StdoutRecorder&) = delete;

  bool contains(const std::string& part) {
    std::lock_guard lock(mutex_);
    return text_.find(part) != std::string::npos;
  }
  // Restores standard output and answers everything written meanwhile.
  std::string stop() {
    if (saved_ >= 0) {
      std::fflush(stdout);
      ::dup2(saved_, STDOUT_FILENO);  // the pipe's last writer goes: the reader sees its end
      ::close(saved_);
      saved_ = -1;
      reader_.join();
    }
    std::lock_guard lock(mutex_);
    return text_;
  }

 private:
  int saved_ = -1;
  std::thread reader_;
  std::mutex mutex_;
  std::string text_;  // guarded by mutex_
};

TEST(DesktopAppTest, ClosingTheWindowQuitsAndStopsTheRelay) {
  StdoutRecorder recorder;
  WindowedRun run;
  const int status = run.exec([&] {
    // The permission's refusal comes from the notification service's thread, in its own time.
    if (!run.relayServing() || !recorder.contains("通知許可のリクエストエラー: ")) return false;
    run.app->window().close();
    return true;
  });
  const std::string output = recorder.stop();
  EXPECT_EQ(status, 0);
  EXPECT_FALSE(run.relayServing());
  EXPECT_FALSE(run.app->controller().isRunning);
  // Stopping at the end writes nothing in the monitor.
  EXPECT_EQ(run.app->window().monitorView().toPlainText().toStdString().rfind(
                "Server is running on http://", 0),
            0u);
  // Without a notification service the update check does not run; the refusal is logged.
  EXPECT_NE(output.find("通知許可のリクエストエラー: "), std::string::npos) << output;
  EXPECT_EQ(output.find("Velmora\n1.0"), std::string::npos) << output;
}

TEST(DesktopAppTest, WithNotificationsAllowedTheLaunchChecksForUpdatesOnce) {
  testing::PrivateBus bus;
  if (!bus.address()) GTEST_SKIP() << "dbus-daemon is not available";
  testing::FakeNotificationServer notificationServer(*bus.address());
  ASSERT_TRUE(notificationServer.registered);
  // A document without this application's entry.
  FakeBackendProcess documentServer(nlohmann::json{
      {"models_body",
       {{"Other", {{"latestVersion", "2.0"}, {"downloadURL", "https://other.example/"}}}}}});
  DesktopServices services;
  services.notifications = std::make_shared<DBusNotificationService>(bus.address());
  services.updateURL = documentServer.url() + "/v1/models";
  ::testing::internal::CaptureStdout();
  WindowedRun run(services);

  const int status = run.exec([&] {
    if (!run.relayServing() || documentServer.requests().empty()) return false;
    QCoreApplication::quit();
    return true;
  });
  const std::string output = ::testing::internal::GetCapturedStdout();
  EXPECT_EQ(status, 0);
  EXPECT_EQ(documentServer.requests().size(), 1u);
  EXPECT_NE(output.find("Velmora\n1.0.0\n"), std::string::npos) << output;
  EXPECT_EQ(output.find("通知許可のリクエストエラー"), std::string::npos) << output;
  EXPECT_TRUE(notificationServer.notified.empty());
}

TEST(DesktopAppTest, AClickOnTheUpdateNotificationOffersToOpenTheDownloadPage) {
  testing::PrivateBus bus;
  if (!bus.address()) GTEST_SKIP() << "dbus-daemon is not available";
  testing::FakeNotificationServer notificationServer(*bus.address());
  ASSERT_TRUE(notificationServer.registered);
  FakeBackendProcess documentServer(nlohmann::json{
      {"models_body",
       {{"Velmora", {{"latestVersion", "99.0"}, {"downloadURL", "https://velmora.example/dl"}}}}}});
  DesktopServices services;
  services.notifications = std::make_shared<DBusNotificationService>(bus.address());
  services.updateURL = documentServer.url() + "/v1/models";
  WindowedRun run(services);
  testing::UrlCatcher browser;
  QDesktopServices::setUrlHandler(QStringLiteral("https"), &browser, "catchUrl");

  bool clicked = false;
  bool answered = false;
  std::string alertText;
  const int status = run.exec([&] {
    if (notificationServer.notified.empty()) return false;
    if (!clicked) {
      notificationServer.activate(notificationServer.notified[0].id, QStringLiteral("default"));
      clicked = true;
      return false;
    }
    if (!answered) {
      auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
      if (box == nullptr) return false;
      alertText = box->text().toStdString();
      for (QAbstractButton* button : box->buttons()) {
        if (button->text() == QStringLiteral("開く")) button->click();
      }
      answered = true;
      return false;
    }
    if (browser.caught.empty()) return false;
    run.app->window().close();
    return true;
  });
  QDesktopServices::unsetUrlHandler(QStringLiteral("https"));
  EXPECT_EQ(status, 0);
  ASSERT_EQ(notificationServer.notified.size(), 1u);
  EXPECT_EQ(notificationServer.notified[0].appName.toStdString(), "Velmora");
  EXPECT_EQ(alertText, "アップデート確認");
  EXPECT_EQ(browser.caught, (std::vector<std::string>{"https://velmora.example/dl"}));
}

}  // namespace
}  // namespace velmora::desktop
