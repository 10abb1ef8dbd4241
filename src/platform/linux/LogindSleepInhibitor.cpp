// The login manager keeps the machine awake for as long as we hold the descriptor it hands
// out; closing it (or ending the process) drops the lock.
#include "platform/SleepInhibitor.h"
#include "platform/linux/DesktopBuses.h"

#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusUnixFileDescriptor>
#include <QObject>
#include <optional>

namespace kestrune::platform {
namespace {

const QString kService = QStringLiteral("org.freedesktop.login1");
const QString kPath = QStringLiteral("/org/freedesktop/login1");
const QString kManager = QStringLiteral("org.freedesktop.login1.Manager");

std::atomic<bool> failureTraced{false};

class LogindSleepInhibitor final : public SleepInhibitor {
public:
    void hold(const QString& reason) override {
        wanted_ = reason;
        request();
    }

    void release() override {
        wanted_.reset();
        held_.reset();
        refused_.reset();
    }

private:
    struct Lock {
        QString reason;
        QDBusUnixFileDescriptor descriptor;
    };

    // One request at a time: a reason that changes while one is on its way is asked for
    // once that one has come back.
    void request() {
        if (pending_ || !wanted_ || (held_ && held_->reason == *wanted_) || refused_ == *wanted_)
            return;
        if (!bus_ || !bus_->isConnected()) {
            bus_ = std::make_unique<DesktopBus>(DesktopBus::Kind::System);
            if (!bus_->isConnected()) {
                refuse(*wanted_, QStringLiteral("no system bus: ") + bus_->failure());
                bus_.reset();
                return;
            }
        }
        QDBusMessage call =
            QDBusMessage::createMethodCall(kService, kPath, kManager, QStringLiteral("Inhibit"));
        // A running login manager or none: never one started for us.
        call.setAutoStartService(false);
        call << QStringLiteral("sleep:idle") << QStringLiteral("Kestrune") << *wanted_
             << QStringLiteral("block");
        pending_ = *wanted_;
        auto* watcher = new QDBusPendingCallWatcher(bus_->connection().asyncCall(call), &calls_);
        QObject::connect(watcher, &QDBusPendingCallWatcher::finished, &calls_,
                         [this](QDBusPendingCallWatcher* finished) {
                             finished->deleteLater();
                             answered(*finished);
                         });
    }

    void answered(const QDBusPendingCallWatcher& call) {
        const QString reason = *pending_;
        pending_.reset();
        const QDBusPendingReply<QDBusUnixFileDescriptor> reply = call;
        if (reply.isError()) {
            refuse(reason,
                   QStringLiteral("%1: %2").arg(reply.error().name(), reply.error().message()));
        } else if (!reply.value().isValid()) {
            refuse(reason, QStringLiteral("the login manager handed out no descriptor"));
        } else if (wanted_ == reason) {
            held_ = Lock{reason, reply.value()}; // the one held before is closed here
        }
        // Otherwise no longer wanted: the descriptor closes with the reply.
        request();
    }

    void refuse(const QString& reason, const QString& why) {
        refused_ = reason;
        traceOnce(failureTraced, "logind",
                  QStringLiteral("the machine may sleep while jobs run (%1)").arg(why));
    }

    std::optional<QString> wanted_;
    std::optional<QString> pending_;
    std::optional<QString> refused_; // asked for in vain: not asked again
    std::optional<Lock> held_;
    std::unique_ptr<DesktopBus> bus_;
    // Parent of the calls on their way: they go, and never call back, with this object.
    QObject calls_;
};

} // namespace

std::unique_ptr<SleepInhibitor> systemSleepInhibitor() {
    return std::make_unique<LogindSleepInhibitor>();
}

} // namespace kestrune::platform
