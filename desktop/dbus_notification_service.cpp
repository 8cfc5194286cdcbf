#include "desktop/dbus_notification_service.h"

#include <QDBusConnection>
#include <QDBusError>
#include <QDBusMessage>
#include <QObject>
#include <QStringList>
#include <QThread>
#include <QTimer>
#include <QVariantMap>
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <exception>
#include <map>
#include <optional>
#include <string>
#include <utility>

#include "platform/console.h"

namespace velmora::desktop {

namespace {

const QString kService = QStringLiteral("org.freedesktop.Notifications");
const QString kPath = QStringLiteral("/org/freedesktop/Notifications");
const QString kInterface = QStringLiteral("org.freedesktop.Notifications");
const QString kDefaultAction = QStringLiteral("default");

constexpr const char* kShutDown = "The notification service has been shut down";

// The bus's text for a failure, never empty.
std::string describe(const QDBusError& error, const char* fallback) {
  if (!error.message().isEmpty()) return error.message().toStdString();
  if (!error.name().isEmpty()) return error.name().toStdString();
  return fallback;
}

std::string describeReply(const QDBusMessage& reply) {
  if (!reply.errorMessage().isEmpty()) return reply.errorMessage().toStdString();
  if (!reply.errorName().isEmpty()) return reply.errorName().toStdString();
  return "The notification service gave no answer";
}

// Runs a caller's callback on the service's thread; what it throws must not unwind through Qt.
template <typename Callback, typename... Arguments>
void deliver(const Callback& callback, Arguments&&... arguments) {
  if (!callback) return;
  try {
    callback(std::forward<Arguments>(arguments)...);
  } catch (const std::exception& error) {
    platform::printLine(std::string("velmora: a notification callback failed: ") + error.what());
  } catch (...) {
    platform::printLine("velmora: a notification callback failed");
  }
}

}  // namespace

// The service's state on its own thread: the bus connection, the notifications waiting for their
// trigger and the ones shown. Everything here runs on that thread.
class NotificationBusWorker final : public QObject {
  Q_OBJECT

 public:
  NotificationBusWorker(DBusNotificationService& owner, std::optional<QString> busAddress,
                        int callTimeoutMs)
      : owner_(owner), busAddress_(std::move(busAddress)), callTimeoutMs_(callTimeoutMs) {}

  ~NotificationBusWorker() override {
    if (connection_ && signalsConnected_) {
      connection_->disconnect(kService, kPath, kInterface, QStringLiteral("ActionInvoked"), this,
                              SLOT(actionInvoked(uint, QString)));
      connection_->disconnect(kService, kPath, kInterface, QStringLiteral("NotificationClosed"),
                              this, SLOT(notificationClosed(uint, uint)));
    }
    if (busAddress_ && connection_) {
      const QString name = connection_->name();
      connection_.reset();
      QDBusConnection::disconnectFromBus(name);
    }
  }

  void authorize(const update::NotificationService::AuthorizationHandler& handler) {
    QDBusConnection& bus = connection();
    if (!bus.isConnected()) {
      deliver(handler, false, describe(bus.lastError(), "There is no session bus"));
      return;
    }
    const QDBusMessage reply =
        bus.call(QDBusMessage::createMethodCall(kService, kPath, kInterface,
                                                QStringLiteral("GetServerInformation")),
                 QDBus::Block, callTimeoutMs_);
    if (reply.type() != QDBusMessage::ReplyMessage) {
      deliver(handler, false, describeReply(reply));
      return;
    }
    listenForActivations(bus);
    deliver(handler, true, std::nullopt);
  }

  void schedule(update::NotificationRequest request,
                update::NotificationService::AddCompletion completion) {
    if (request.trigger.repeats) {
      deliver(completion, "Repeating notifications are not supported");
      return;
    }
    const auto seconds = std::max(0.0, request.trigger.timeInterval.count());
    if (!(seconds <= kLongestDelaySeconds)) {  // also refuses NaN
      deliver(completion, "The notification's time interval is out of range");
      return;
    }
    const std::uint64_t key = nextKey_++;
    auto* timer = new QTimer(this);
    timer->setSingleShot(true);
    timer->setTimerType(Qt::PreciseTimer);
    connect(timer, &QTimer::timeout, this, [this, key] { show(key); });
    pending_.emplace(key, Pending{std::move(request), std::move(completion), timer});
    timer->start(static_cast<int>(std::ceil(seconds * 1000.0)));
  }

  // At shutdown: the notifications still waiting are not shown.
  void failPending() {
    auto pending = std::move(pending_);
    pending_.clear();
    for (auto& [key, entry] : pending) deliver(entry.completion, kShutDown);
  }

 public Q_SLOTS:
  void actionInvoked(uint id, const QString& actionKey) {
    const auto shown = shown_.find(id);
    // Ids of other applications' notifications, and actions we never offered, are not ours.
    if (shown == shown_.end() || actionKey != kDefaultAction) return;
    auto delegate = owner_.delegate();
    if (!delegate) return;
    update::NotificationResponse response{shown->second, actionKey.toStdString()};
    try {
      delegate->didReceiveNotificationResponse(response, [] {});
    } catch (const std::exception& error) {
      platform::printLine(std::string("velmora: a notification callback failed: ") + error.what());
    } catch (...) {
      platform::printLine("velmora: a notification callback failed");
    }
  }

  void notificationClosed(uint id, uint /*reason*/) {
    const auto shown = shown_.find(id);
    if (shown == shown_.end()) return;
    const auto identifier = idsByIdentifier_.find(shown->second.identifier);
    if (identifier != idsByIdentifier_.end() && identifier->second == id) {
      idsByIdentifier_.erase(identifier);
    }
    shown_.erase(shown);
  }

 private:
  static constexpr double kLongestDelaySeconds = 24.0 * 24 * 3600;  // QTimer's int milliseconds

  struct Pending {
    update::NotificationRequest request;
    update::NotificationService::AddCompletion completion;
    QTimer* timer;
  };

  QDBusConnection& connection() {
    if (!connection_) {
      if (busAddress_) {
        const QString name =
            QStringLiteral("velmora-notifications-%1").arg(reinterpret_cast<quintptr>(this), 0, 16);
        connection_ = QDBusConnection::connectToBus(*busAddress_, name);
      } else {
        connection_ = QDBusConnection::sessionBus();
      }
    }
    return *connection_;
  }

  void listenForActivations(QDBusConnection& bus) {
    if (signalsConnected_) return;
    signalsConnected_ =
        bus.connect(kService, kPath, kInterface, QStringLiteral("ActionInvoked"), this,
                    SLOT(actionInvoked(uint, QString))) &&
        bus.connect(kService, kPath, kInterface, QStringLiteral("NotificationClosed"), this,
                    SLOT(notificationClosed(uint, uint)));
  }

  void show(std::uint64_t key) {
    auto node = pending_.extract(key);
    if (node.empty()) return;
    Pending entry = std::move(node.mapped());
    entry.timer->deleteLater();
    const update::NotificationRequest& request = entry.request;

    QDBusConnection& bus = connection();
    if (!bus.isConnected()) {
      deliver(entry.completion, describe(bus.lastError(), "There is no session bus"));
      return;
    }
    listenForActivations(bus);
    const auto previous = idsByIdentifier_.find(request.identifier);
    const uint replaces = previous == idsByIdentifier_.end() ? 0 : previous->second;

    QDBusMessage call =
        QDBusMessage::createMethodCall(kService, kPath, kInterface, QStringLiteral("Notify"));
    call << QString::fromUtf8(DBusNotificationService::kApplicationName) << replaces << QString()
         << QString::fromStdString(request.content.title)
         << QString::fromStdString(request.content.body)
         << QStringList{kDefaultAction,
                        QString::fromUtf8(DBusNotificationService::kDefaultActionLabel)}
         << QVariantMap() << -1;
    const QDBusMessage reply = bus.call(call, QDBus::Block, callTimeoutMs_);
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty()) {
      deliver(entry.completion, describeReply(reply));
      return;
    }
    const uint id = reply.arguments().constFirst().toUInt();
    if (replaces != 0) shown_.erase(replaces);
    shown_[id] = request;
    idsByIdentifier_[request.identifier] = id;
    deliver(entry.completion, std::nullopt);
  }

  DBusNotificationService& owner_;
  const std::optional<QString> busAddress_;
  const int callTimeoutMs_;
  std::optional<QDBusConnection> connection_;
  bool signalsConnected_ = false;
  std::uint64_t nextKey_ = 0;
  std::map<std::uint64_t, Pending> pending_;           // waiting for their trigger
  std::map<uint, update::NotificationRequest> shown_;  // by the service's id
  std::map<std::string, uint> idsByIdentifier_;        // our identifier to that id
};

DBusNotificationService::DBusNotificationService(std::optional<QString> busAddress,
                                                 std::chrono::milliseconds callTimeout)
    : thread_(new QThread),
      worker_(new NotificationBusWorker(*this, std::move(busAddress),
                                        static_cast<int>(callTimeout.count()))) {
  thread_->setObjectName(QStringLiteral("velmora-notifications"));
  worker_->moveToThread(thread_);
  thread_->start();
}

DBusNotificationService::~DBusNotificationService() {
  shutdown();
  delete thread_;
}

void DBusNotificationService::requestAuthorization(update::AuthorizationOptions /*options*/,
                                                   AuthorizationHandler handler) {
  // The freedesktop service has no per-application permission or option bits: it either shows
  // notifications or is not there.
  std::unique_lock lock(mutex_);
  if (stopped_) {
    lock.unlock();
    deliver(handler, false, kShutDown);
    return;
  }
  QMetaObject::invokeMethod(
      worker_, [worker = worker_, handler = std::move(handler)] { worker->authorize(handler); },
      Qt::QueuedConnection);
}

void DBusNotificationService::add(update::NotificationRequest request, AddCompletion completion) {
  std::unique_lock lock(mutex_);
  if (stopped_) {
    lock.unlock();
    deliver(completion, kShutDown);
    return;
  }
  QMetaObject::invokeMethod(
      worker_,
      [worker = worker_, request = std::move(request),
       completion = std::move(completion)]() mutable {
        worker->schedule(std::move(request), std::move(completion));
      },
      Qt::QueuedConnection);
}

void DBusNotificationService::setDelegate(std::weak_ptr<update::NotificationDelegate> delegate) {
  std::lock_guard lock(mutex_);
  delegate_ = std::move(delegate);
}

std::shared_ptr<update::NotificationDelegate> DBusNotificationService::delegate() const {
  std::lock_guard lock(mutex_);
  return delegate_.lock();
}

void DBusNotificationService::shutdown() {
  {
    std::lock_guard lock(mutex_);
    if (stopped_) return;
    stopped_ = true;
  }
  // Requests queued before this run first; their callbacks may call back in and are answered
  // at once, since stopped_ is set and no lock is held here.
  NotificationBusWorker* worker = worker_;
  if (QThread::currentThread() == thread_) {
    // Released by its own callback: nothing can wait for this thread here.
    worker->failPending();
    delete worker;
    thread_->quit();
    QObject::connect(thread_, &QThread::finished, thread_, &QObject::deleteLater);
    thread_ = nullptr;
    return;
  }
  QMetaObject::invokeMethod(
      worker,
      [worker] {
        worker->failPending();
        delete worker;
      },
      Qt::BlockingQueuedConnection);
  thread_->quit();
  thread_->wait();
}

}  // namespace velmora::desktop

#include "dbus_notification_service.moc"
