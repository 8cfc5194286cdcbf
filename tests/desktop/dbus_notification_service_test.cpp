#include "desktop/dbus_notification_service.h"

#include <gtest/gtest.h>

#include <QDBusConnection>
#include <QDBusMessage>
#include <QObject>
#include <QStringList>
#include <QVariantMap>
#include <mutex>
#include <thread>
#include <vector>

#include "tests/desktop/fake_notification_server.h"
#include "tests/desktop/private_bus.h"
#include "tests/desktop/qt_wait.h"

namespace velmora::desktop {
namespace {

using namespace std::chrono_literals;
using testing::FakeNotificationServer;
using testing::PrivateBus;
using testing::spin;
using testing::waitUntil;

// One answer from the service, as its background thread delivered it.
struct Answer {
  mutable std::mutex mutex;
  bool arrived = false;              // guarded by mutex
  bool granted = false;              // guarded by mutex
  std::optional<std::string> error;  // guarded by mutex
  std::thread::id thread;            // guarded by mutex

  update::NotificationService::AuthorizationHandler authorizationHandler() {
    return [this](bool isGranted, std::optional<std::string> text) {
      std::lock_guard lock(mutex);
      granted = isGranted;
      error = std::move(text);
      thread = std::this_thread::get_id();
      arrived = true;
    };
  }
  update::NotificationService::AddCompletion addCompletion() {
    return [this](std::optional<std::string> text) {
      std::lock_guard lock(mutex);
      error = std::move(text);
      thread = std::this_thread::get_id();
      arrived = true;
    };
  }
  bool wait() {
    return waitUntil([this] {
      std::lock_guard lock(mutex);
      return arrived;
    });
  }
};

class RecordingDelegate final : public update::NotificationDelegate {
 public:
  void didReceiveNotificationResponse(const update::NotificationResponse& response,
                                      std::function<void()> completionHandler) override {
    {
      std::lock_guard lock(mutex_);
      responses_.push_back(response);
      threads_.push_back(std::this_thread::get_id());
    }
    completionHandler();
  }
  std::vector<update::NotificationResponse> responses() const {
    std::lock_guard lock(mutex_);
    return responses_;
  }
  std::vector<std::thread::id> threads() const {
    std::lock_guard lock(mutex_);
    return threads_;
  }

 private:
  mutable std::mutex mutex_;
  std::vector<update::NotificationResponse> responses_;  // guarded by mutex_
  std::vector<std::thread::id> threads_;                 // guarded by mutex_
};

update::NotificationRequest updateRequest(std::chrono::duration<double> after = 50ms) {
  update::NotificationRequest request;
  request.identifier = "updateNotification";
  request.content.title = "アップデートのお知らせ";
  request.content.body = "新しいバージョン 2.0 が利用可能です。";
  request.content.userInfo = {{"downloadURL", "https://velmora.example/download"}};
  request.trigger.timeInterval = after;
  return request;
}

TEST(DBusNotificationServiceTest, WithoutASessionBusPermissionIsRefusedWithTheBusesText) {
  struct Row {
    const char* name;
    std::optional<QString> address;
  };
  // main() points the session bus at a socket that does not exist.
  const Row rows[] = {
      {"session bus", std::nullopt},
      {"unreachable address", QStringLiteral("unix:path=/nonexistent/velmora-bus")},
      {"malformed address", QStringLiteral("not an address")},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    auto service = std::make_shared<DBusNotificationService>(row.address);
    Answer permission;
    service->requestAuthorization(
        update::AuthorizationOption::alert | update::AuthorizationOption::sound,
        permission.authorizationHandler());
    ASSERT_TRUE(permission.wait());
    EXPECT_FALSE(permission.granted);
    ASSERT_TRUE(permission.error);
    EXPECT_FALSE(permission.error->empty());
    EXPECT_NE(permission.thread, std::this_thread::get_id());

    Answer added;
    service->add(updateRequest(), added.addCompletion());
    ASSERT_TRUE(added.wait());
    ASSERT_TRUE(added.error);
    EXPECT_FALSE(added.error->empty());
  }
}

TEST(DBusNotificationServiceTest, ABusWithoutANotificationServiceRefusesNamingIt) {
  PrivateBus bus;
  if (!bus.address()) GTEST_SKIP() << "dbus-daemon is not available";
  auto service = std::make_shared<DBusNotificationService>(bus.address());
  Answer permission;
  service->requestAuthorization(6, permission.authorizationHandler());
  ASSERT_TRUE(permission.wait());
  EXPECT_FALSE(permission.granted);
  ASSERT_TRUE(permission.error);
  EXPECT_NE(permission.error->find("org.freedesktop.Notifications"), std::string::npos)
      << *permission.error;
}

TEST(DBusNotificationServiceTest, ShowsNotificationsAndReplacesThemByIdentifier) {
  PrivateBus bus;
  if (!bus.address()) GTEST_SKIP() << "dbus-daemon is not available";
  FakeNotificationServer server(*bus.address());
  ASSERT_TRUE(server.registered);
  auto service = std::make_shared<DBusNotificationService>(bus.address());

  Answer permission;
  service->requestAuthorization(6, permission.authorizationHandler());
  ASSERT_TRUE(permission.wait());
  EXPECT_TRUE(permission.granted);
  EXPECT_FALSE(permission.error);

  Answer first;
  service->add(updateRequest(), first.addCompletion());
  ASSERT_TRUE(first.wait());
  EXPECT_FALSE(first.error) << *first.error;
  EXPECT_NE(first.thread, std::this_thread::get_id());
  ASSERT_EQ(server.notified.size(), 1u);
  const auto shown = server.notified[0];
  EXPECT_EQ(shown.appName.toStdString(), "Velmora");
  EXPECT_EQ(shown.replacesId, 0u);
  EXPECT_EQ(shown.summary.toStdString(), "アップデートのお知らせ");
  EXPECT_EQ(shown.body.toStdString(), "新しいバージョン 2.0 が利用可能です。");
  EXPECT_EQ(shown.actions, (QStringList{QStringLiteral("default"), QStringLiteral("開く")}));
  EXPECT_EQ(shown.expireTimeout, -1);

  // The same identifier again replaces the notification on screen; another one does not.
  Answer second;
  service->add(updateRequest(), second.addCompletion());
  ASSERT_TRUE(second.wait());
  auto other = updateRequest();
  other.identifier = "other";
  Answer third;
  service->add(other, third.addCompletion());
  ASSERT_TRUE(third.wait());
  ASSERT_EQ(server.notified.size(), 3u);
  EXPECT_EQ(server.notified[1].replacesId, shown.id);
  EXPECT_EQ(server.notified[2].replacesId, 0u);
  EXPECT_NE(server.notified[2].id, shown.id);
}

TEST(DBusNotificationServiceTest, AClickOnOurNotificationReachesTheDelegate) {
  PrivateBus bus;
  if (!bus.address()) GTEST_SKIP() << "dbus-daemon is not available";
  FakeNotificationServer server(*bus.address());
  ASSERT_TRUE(server.registered);
  auto service = std::make_shared<DBusNotificationService>(bus.address());
  auto delegate = std::make_shared<RecordingDelegate>();
  service->setDelegate(delegate);

  Answer permission;
  service->requestAuthorization(6, permission.authorizationHandler());
  ASSERT_TRUE(permission.wait());
  const auto request = updateRequest();
  Answer added;
  service->add(request, added.addCompletion());
  ASSERT_TRUE(added.wait());
  ASSERT_EQ(server.notified.size(), 1u);
  const uint id = server.notified[0].id;

  // Not ours, or an action we never offered: nothing.
  server.activate(id + 100, QStringLiteral("default"));
  server.activate(id, QStringLiteral("snooze"));
  // A click on ours.
  server.activate(id, QStringLiteral("default"));
  ASSERT_TRUE(waitUntil([&] { return !delegate->responses().empty(); }));
  spin(100ms);
  const auto responses = delegate->responses();
  ASSERT_EQ(responses.size(), 1u);
  EXPECT_EQ(responses[0].request, request);
  EXPECT_EQ(responses[0].actionIdentifier, "default");
  EXPECT_EQ(responses[0].request.content.userInfo["downloadURL"],
            "https://velmora.example/download");
  EXPECT_NE(delegate->threads()[0], std::this_thread::get_id());

  // Once closed, its id may be another application's.
  server.closed(id);
  spin(100ms);
  server.activate(id, QStringLiteral("default"));
  spin(200ms);
  EXPECT_EQ(delegate->responses().size(), 1u);

  // A delegate that has gone is not called.
  Answer again;
  service->add(request, again.addCompletion());
  ASSERT_TRUE(again.wait());
  std::weak_ptr<RecordingDelegate> weak = delegate;
  delegate.reset();
  server.activate(server.notified.back().id, QStringLiteral("default"));
  spin(200ms);
  EXPECT_TRUE(weak.expired());
}

TEST(DBusNotificationServiceTest, ShutdownReportsNotificationsStillWaitingAndRefusesLaterOnes) {
  PrivateBus bus;
  if (!bus.address()) GTEST_SKIP() << "dbus-daemon is not available";
  FakeNotificationServer server(*bus.address());
  auto service = std::make_shared<DBusNotificationService>(bus.address());
  Answer waiting;
  service->add(updateRequest(std::chrono::hours(1)), waiting.addCompletion());
  spin(50ms);
  service->shutdown();
  ASSERT_TRUE(waiting.wait());
  ASSERT_TRUE(waiting.error);
  EXPECT_NE(waiting.error->find("shut down"), std::string::npos);

  Answer later;
  service->requestAuthorization(6, later.authorizationHandler());
  ASSERT_TRUE(later.wait());
  EXPECT_FALSE(later.granted);
  spin(50ms);
  EXPECT_TRUE(server.notified.empty());
  service->shutdown();  // again: nothing more
}

TEST(DBusNotificationServiceTest, RefusesRequestsItCannotHonour) {
  auto service =
      std::make_shared<DBusNotificationService>(QStringLiteral("unix:path=/nonexistent"));
  auto repeating = updateRequest(std::chrono::seconds(60));
  repeating.trigger.repeats = true;
  Answer answer;
  service->add(repeating, answer.addCompletion());
  ASSERT_TRUE(answer.wait());
  ASSERT_TRUE(answer.error);
  EXPECT_NE(answer.error->find("Repeating"), std::string::npos);
}

}  // namespace
}  // namespace velmora::desktop
