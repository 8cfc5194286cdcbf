#include <gtest/gtest.h>

#include <QtDBus>
#include <QtTest>
#include <QtWidgets>
#include <fstream>

#include "app/view_controller.h"
#include "desktop/dbus_notification_service.h"
#include "desktop/main_window.h"
#include "desktop/qt_main_queue.h"
#include "desktop/tracked_http_client.h"
#include "relay/web/access_control.h"
#include "tests/platform/main_queue_contract.h"
#include "tests/support/child_process.h"
#include "tests/support/fake_backend.h"
#include "tests/support/qr_scan.h"
#include "tests/support/test_client.h"

namespace velmora {
namespace {

using namespace std::chrono_literals;

// Turns the Qt event loop at least once, then until `done` holds or `timeout` has passed.
bool spinUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout = 20s) {
  const QDeadlineTimer deadline(timeout);
  QCoreApplication::processEvents();
  while (!done() && !deadline.hasExpired()) QThread::msleep(1), QCoreApplication::processEvents();
  return done();
}

struct QtDriver {
  desktop::QtMainQueue queue;
  bool quitting = false;  // main thread only
  void run() {
    spinUntil([&] { return quitting; });
  }
  void quit() { quitting = true, queue.quit(); }
};

TEST(MainWindowTest, EveryControlReachesTheController) {
  testing::FakeBackend backend;
  backend.respond([](const testing::BackendRequest& r) {  // two models: no choice is made alone
    return r.target == "/v1/models"
               ? testing::jsonAnswer(200, R"({"data":[{"id":"fake-model"},{"id":"m2"}]})")
               : testing::FakeBackend::defaultAnswer(r);
  });
  QTemporaryDir folder;
  const std::string path = folder.filePath("settings.json").toStdString();
  platform::SettingsFile settings(path);
  settings.set("studioIP", "127.0.0.1"), settings.set("studioPort", std::to_string(backend.port()));
  desktop::QtMainQueue queue;
  platform::CurlHttpClient curl;
  desktop::TrackedHttpClient client(curl);
  desktop::MainWindow w;
  std::atomic<int> minutesLater = 0;  // how far ahead of now the sign-in links' clock runs
  const std::filesystem::path kept = folder.filePath("conversation.json").toStdString();
  auto controller = std::make_shared<app::ViewController>(
      w.view(), queue, settings, client, [] { return std::vector<std::string>{"10.0.0.2"}; }, kept);
  controller->signInLinks.setClock(
      [&] { return std::chrono::steady_clock::now() + std::chrono::minutes(minutesLater.load()); });
  w.setController(controller), w.show(), w.activateWindow();
  EXPECT_FALSE(w.windowIcon().pixmap(64).isNull()) << "the window shows Velmora's icon";
  ASSERT_TRUE(QTest::qWaitForWindowActive(&w) && spinUntil([&] { return w.modelPopup().count(); }));
  // What the controller's actions change: the settings file, the label, the button, the backend.
  const auto effects = [&] {
    return nlohmann::json::parse(std::ifstream(path)).dump() +
           w.startStopButton().text().toStdString() + " requests " +
           std::to_string(backend.requests().size());
  };
  const auto type = [&](QWidget& field, const std::string& text, bool thenReturn) {
    field.setFocus(Qt::MouseFocusReason);
    QTest::keyClick(&field, Qt::Key_A, Qt::ControlModifier), QTest::keyClicks(&field, text.c_str());
    thenReturn ? QTest::keyClick(&field, Qt::Key_Return)
               : w.saveButton().setFocus(Qt::TabFocusReason);
  };
  const std::tuple<const char*, std::function<void()>, std::string> rows[] = {
      {"relay port", [&] { type(w.serverPortEdit(), "0", true); }, R"("serverPort":"0")"},
      {"access token", [&] { type(w.accessTokenEdit(), "t0k", false); }, R"("accessToken":"t0k")"},
      {"allowed hosts", [&] { type(w.allowedHostsEdit(), "proxy.example", true); },
       R"("allowedHosts":"proxy.example")"},
      {"backend host", [&] { type(w.studioIPEdit(), "localhost", false); }, "requests 2"},
      {"backend key", [&] { type(w.backendKeyEdit(), "k3y", false); }, R"("backendApiKey":"k3y")"},
      {"refresh", [&] { w.refreshModelsButton().click(); }, "requests 4"},
      {"system prompt", [&] { type(w.sysPromptEdit(), "Be brief.", false); },
       R"("systemPrompt":"Be brief.")"},
      {"model", [&] { w.modelPopup().setFocus(), QTest::keyClick(&w.modelPopup(), Qt::Key_Down); },
       R"("modelName":"fake-model")"},
      {"keep conversation", [&] { w.keepConversationBox().click(); },
       R"("keepConversation":"true")"},
      {"save", [&] { w.initMessageEdit().setPlainText("<p>"), w.saveButton().click(); },
       R"("initialMessage":"<p>")"},
      {"start", [&] { w.startStopButton().click(); }, "Stop Server"},
  };
  for (const auto& [name, act, effect] : rows) {
    act();
    EXPECT_TRUE(spinUntil([&] { return effects().find(effect) != std::string::npos; }))
        << name << ": " << effects();
  }
  const std::string chatLink = "http://10.0.0.2:" + std::to_string(controller->webServer->port());
  EXPECT_TRUE(spinUntil([&] {
    return w.pageLinksLabel().text().contains(QString::fromStdString(chatLink + "/chat\">"));
  })) << w.pageLinksLabel().text().toStdString();
  // The QR code as a phone reads it: with the token set, a sign-in link good for one use within
  // 10 minutes, and a new one shown once it is used.
  const auto scan = [&] {
    const QString file = folder.filePath("code.png");
    return w.chatCodeLabel().pixmap().save(file) ? testing::scannedQrCode(file.toStdString()) : "";
  };
  const auto use = [&](const std::string& link) {
    testing::TestClient phone(controller->webServer->port());
    phone.send("GET " + link.substr(chatLink.size()) + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
    const std::string answer = phone.readUntilClose();
    return answer.substr(0, answer.find("\r\n\r\n") + 2);
  };
  const std::string link = scan();
  ASSERT_TRUE(link.starts_with(chatLink + "/signin/") && link.find("t0k") == std::string::npos)
      << link;
  const std::string signedIn = use(link);
  for (const std::string& field : std::vector<std::string>{
           "HTTP/1.1 303 See Other\r\n", "Location: /chat\r\n",
           "Set-Cookie: velmora_session=" + relay::web::sessionCookieValue("t0k"),
           "Cache-Control: no-store\r\n", "Referrer-Policy: no-referrer\r\n"})
    EXPECT_NE(signedIn.find(field), std::string::npos) << field << " in " << signedIn;
  ASSERT_TRUE(spinUntil([&] { return controller->chatCode.text() != link; }));
  const std::string next = scan();
  EXPECT_TRUE(next.starts_with(chatLink + "/signin/") && next != link) << next;
  EXPECT_TRUE(use(link).starts_with("HTTP/1.1 401 ")) << "a second use";
  minutesLater = 10;
  EXPECT_TRUE(use(next).starts_with("HTTP/1.1 401 ")) << "a use after 10 minutes";
  // A chat whose backend hangs ends with cancelAllAndWait, as when the application quits.
  backend.respond([](const auto&) {
    return testing::BackendAnswer{.writes = {}, .end = testing::BackendAnswer::End::hang};
  });
  testing::TestClient chat(controller->webServer->port());
  chat.send(
      "POST /api/chat HTTP/1.1\r\nHost: proxy.example\r\nAuthorization: Bearer "
      "t0k\r\nContent-Length: 2\r\n\r\n{}");
  ASSERT_TRUE(backend.waitForOpenConnections(1));
  EXPECT_TRUE(client.cancelAllAndWait(20s));
  EXPECT_TRUE(backend.waitForOpenConnections(0));
  chat.readUntilClose();  // the relay's handler has ended: nothing touches this test's objects
  EXPECT_TRUE(std::filesystem::exists(kept)) << "kept since the box was ticked";
}

// org.freedesktop.Notifications as far as Velmora uses it; it answers while the loop turns.
struct FakeNotificationServer final : QDBusVirtualObject {
  explicit FakeNotificationServer(const QString& address)
      : bus(QDBusConnection::connectToBus(address, "fake-notifications")) {
    bus.registerVirtualObject("/org/freedesktop/Notifications", this);
    bus.registerService("org.freedesktop.Notifications");
  }
  ~FakeNotificationServer() override { QDBusConnection::disconnectFromBus(bus.name()); }
  QString introspect(const QString&) const override { return {}; }
  bool handleMessage(const QDBusMessage& message, const QDBusConnection& connection) override {
    QDBusMessage reply = message.createReply(QVariantList{"fake", "tests", "1", "1.2"});
    if (message.member() == "Notify") notified = message.arguments(), reply.setArguments({7u});
    return connection.send(reply);
  }
  QDBusConnection bus;
  QVariantList notified;
};

// What the service reported from its own thread, in order, on the main thread.
struct Reports final : update::NotificationDelegate, std::enable_shared_from_this<Reports> {
  void add(const std::string& report) {
    QMetaObject::invokeMethod(
        qApp, [self = shared_from_this(), report] { self->reports.push_back(report); });
  }
  std::string waitFor(std::size_t count) {  // the last of `count` reports
    return spinUntil([&] { return reports.size() >= count; }) ? reports[count - 1] : "nothing";
  }
  void didReceiveNotificationResponse(const update::NotificationResponse& response,
                                      std::function<void()> done) override {
    add("activated " + response.request.identifier + " " + response.actionIdentifier), done();
  }
  std::vector<std::string> reports;
};

TEST(DBusNotificationServiceTest, AsksTheBusNotifiesAndPassesActivationsOn) {
  testing::ChildProcess daemon({"/usr/bin/dbus-daemon", "--nofork", "--print-address",
                                "--config-file=" VELMORA_TEST_BUS_CONFIG});
  const QString address = QString::fromStdString(daemon.waitForLine("unix:").value_or(""));
  auto reports = std::make_shared<Reports>();
  auto service = std::make_shared<desktop::DBusNotificationService>(address);
  service->setDelegate(reports);
  const auto ask = [&] {
    service->requestAuthorization(6, [reports](bool granted, std::optional<std::string> error) {
      reports->add(granted ? "granted" : "refused: " + error.value_or(""));
    });
  };
  ask();  // nobody owns the name yet
  const std::string refused = reports->waitFor(1);
  EXPECT_TRUE(refused.starts_with("refused: ") && refused.size() > 9) << refused;
  FakeNotificationServer server(address);
  ask();
  EXPECT_EQ(reports->waitFor(2), "granted");
  service->add({"update", {"Title", "Body"}, {}}, [reports](std::optional<std::string> error) {
    reports->add("added " + error.value_or(""));
  });
  EXPECT_EQ(reports->waitFor(3), "added ");
  ASSERT_EQ(server.notified.size(), 8);  // app name, id, icon, title, body, actions, hints, timeout
  EXPECT_EQ((QStringList{server.notified[0].toString(), server.notified[3].toString(),
                         server.notified[4].toString(), server.notified[5].toStringList()[0]}),
            (QStringList{"Velmora", "Title", "Body", "default"}));
  server.bus.send(QDBusMessage::createSignal("/org/freedesktop/Notifications",
                                             "org.freedesktop.Notifications", "ActionInvoked")
                  << 7u << QString("default"));
  EXPECT_EQ(reports->waitFor(4), "activated update default");
  service->shutdown();
}

}  // namespace

namespace platform {
INSTANTIATE_TYPED_TEST_SUITE_P(Qt, MainQueueContract, ::testing::Types<QtDriver>);
}

}  // namespace velmora

int main(int argc, char** argv) {
  qputenv("QT_QPA_PLATFORM", "offscreen");
  qputenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent");  // never the user's bus
  ::testing::InitGoogleTest(&argc, argv);
  QApplication application(argc, argv);
  return RUN_ALL_TESTS();
}
