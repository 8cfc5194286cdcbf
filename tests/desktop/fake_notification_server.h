#pragma once

#include <QDBusConnection>
#include <QDBusMessage>
#include <QObject>
#include <QStringList>
#include <QVariantMap>
#include <vector>

namespace velmora::desktop::testing {

// A notification server on a private bus that records what it is asked to show and sends the
// signals a real one sends when the user clicks or closes a notification. Main thread: its calls
// are answered while the test turns the event loop.
class FakeNotificationServer final : public QObject {
  Q_OBJECT
  Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")

 public:
  struct Notified {
    QString appName;
    uint replacesId;
    QString appIcon;
    QString summary;
    QString body;
    QStringList actions;
    QVariantMap hints;
    int expireTimeout;
    uint id;
  };

  static QString service() { return QStringLiteral("org.freedesktop.Notifications"); }
  static QString path() { return QStringLiteral("/org/freedesktop/Notifications"); }

  explicit FakeNotificationServer(const QString& address)
      : name_(QStringLiteral("fake-notification-server-%1").arg(counter()++)),
        connection_(QDBusConnection::connectToBus(address, name_)) {
    registered = connection_.registerObject(path(), this, QDBusConnection::ExportAllSlots) &&
                 connection_.registerService(service());
  }

  ~FakeNotificationServer() override {
    connection_.unregisterService(service());
    connection_.unregisterObject(path());
    QDBusConnection::disconnectFromBus(name_);
  }

  void activate(uint id, const QString& actionKey) {
    QDBusMessage signal =
        QDBusMessage::createSignal(path(), service(), QStringLiteral("ActionInvoked"));
    signal << id << actionKey;
    connection_.send(signal);
  }

  void closed(uint id) {
    QDBusMessage signal =
        QDBusMessage::createSignal(path(), service(), QStringLiteral("NotificationClosed"));
    signal << id << 2u;  // dismissed by the user
    connection_.send(signal);
  }

  bool registered = false;
  std::vector<Notified> notified;

 public Q_SLOTS:
  QString GetServerInformation(QString& vendor, QString& version, QString& specVersion) {
    vendor = QStringLiteral("Velmora tests");
    version = QStringLiteral("1");
    specVersion = QStringLiteral("1.2");
    return QStringLiteral("fake");
  }

  QStringList GetCapabilities() { return {QStringLiteral("actions"), QStringLiteral("body")}; }

  uint Notify(const QString& appName, uint replacesId, const QString& appIcon,
              const QString& summary, const QString& body, const QStringList& actions,
              const QVariantMap& hints, int expireTimeout) {
    const uint id = replacesId != 0 ? replacesId : nextId_++;
    notified.push_back(
        {appName, replacesId, appIcon, summary, body, actions, hints, expireTimeout, id});
    return id;
  }

  void CloseNotification(uint) {}

 private:
  static int& counter() {
    static int value = 0;
    return value;
  }

  QString name_;
  QDBusConnection connection_;
  uint nextId_ = 7;
};

}  // namespace velmora::desktop::testing
