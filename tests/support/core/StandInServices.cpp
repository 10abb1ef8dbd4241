#include "StandInServices.h"

#include <QDBusMessage>
#include <QFile>
#include <atomic>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

namespace kestrune::test {
namespace {

std::atomic<int> connections{0};

// Anyone may connect and own any name: the bus lives in the test's own folder.
constexpr char kConfig[] =
    R"(<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>custom</type>
  <listen>unix:path=%1</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow user="*"/>
    <allow own="*"/>
    <allow send_destination="*"/>
    <allow receive_sender="*"/>
  </policy>
</busconfig>
)";

} // namespace

PrivateBus::PrivateBus() {
    if (!dir_.isValid()) {
        failure_ = QStringLiteral("no temporary folder for the bus");
        return;
    }
    const QString config = dir_.filePath(QStringLiteral("bus.conf"));
    QFile file(config);
    if (!file.open(QIODevice::WriteOnly) ||
        file.write(
            QString::fromLatin1(kConfig).arg(dir_.filePath(QStringLiteral("bus"))).toUtf8()) < 0) {
        failure_ = QStringLiteral("cannot write %1").arg(config);
        return;
    }
    file.close();
    daemon_.setProgram(QStringLiteral("dbus-daemon"));
    daemon_.setArguments({QStringLiteral("--config-file=") + config, QStringLiteral("--nofork"),
                          QStringLiteral("--nopidfile"), QStringLiteral("--print-address=1")});
    // Root's daemon says it may not raise its descriptor limit here; nothing of the test's.
    daemon_.setStandardErrorFile(QProcess::nullDevice());
    daemon_.start();
    if (!daemon_.waitForStarted(10000)) {
        failure_ = QStringLiteral("dbus-daemon does not start: ") + daemon_.errorString();
        return;
    }
    while (!daemon_.canReadLine() && daemon_.waitForReadyRead(10000)) {
    }
    address_ = QString::fromUtf8(daemon_.readLine()).trimmed();
    if (address_.isEmpty())
        failure_ = QStringLiteral("dbus-daemon printed no address");
}

PrivateBus::~PrivateBus() {
    if (daemon_.state() != QProcess::NotRunning) {
        daemon_.terminate();
        if (!daemon_.waitForFinished(5000)) {
            daemon_.kill();
            daemon_.waitForFinished();
        }
    }
}

QDBusConnection PrivateBus::connect(const QString& name) const {
    return QDBusConnection::connectToBus(
        address_, QStringLiteral("%1-%2").arg(name).arg(connections.fetch_add(1)));
}

StandInLogind::StandInLogind(const PrivateBus& bus)
    : connection_(bus.connect(QStringLiteral("stand-in-logind"))) {
    registered_ = connection_.registerObject(QStringLiteral("/org/freedesktop/login1"), this,
                                             QDBusConnection::ExportAllSlots) &&
                  connection_.registerService(QStringLiteral("org.freedesktop.login1"));
}

StandInLogind::~StandInLogind() {
    QDBusConnection::disconnectFromBus(connection_.name());
    for (const Inhibition& inhibition : inhibitions_)
        ::close(inhibition.readEnd);
}

QDBusUnixFileDescriptor StandInLogind::Inhibit(const QString& what, const QString& who,
                                               const QString& why, const QString& mode) {
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0)
        return {};
    inhibitions_.push_back({what, who, why, mode, ends[0]});
    QDBusUnixFileDescriptor handedOut(ends[1]); // a duplicate, which leaves with the reply
    ::close(ends[1]);
    return handedOut;
}

bool StandInLogind::held(std::size_t call) const {
    if (call >= inhibitions_.size())
        return false;
    pollfd end{inhibitions_[call].readEnd, POLLIN, 0};
    // Every write end closed: the reader sees the pipe hang up.
    return ::poll(&end, 1, 0) == 0;
}

int StandInLogind::heldCount() const {
    int count = 0;
    for (std::size_t i = 0; i < inhibitions_.size(); ++i)
        count += held(i) ? 1 : 0;
    return count;
}

StandInNotifications::StandInNotifications(const PrivateBus& bus)
    : connection_(bus.connect(QStringLiteral("stand-in-notifications"))) {
    registered_ = connection_.registerObject(QStringLiteral("/org/freedesktop/Notifications"), this,
                                             QDBusConnection::ExportAllSlots) &&
                  connection_.registerService(QStringLiteral("org.freedesktop.Notifications"));
}

StandInNotifications::~StandInNotifications() {
    QDBusConnection::disconnectFromBus(connection_.name());
}

uint StandInNotifications::Notify(const QString& application, uint, const QString& icon,
                                  const QString& summary, const QString& body,
                                  const QStringList& actions, const QVariantMap& hints, int) {
    notices_.push_back({nextId_++, application, icon, summary, body, actions, hints});
    return notices_.back().id;
}

QStringList StandInNotifications::GetCapabilities() {
    return {QStringLiteral("actions"), QStringLiteral("body")};
}

void StandInNotifications::CloseNotification(uint id) {
    QDBusMessage closed = QDBusMessage::createSignal(
        QStringLiteral("/org/freedesktop/Notifications"),
        QStringLiteral("org.freedesktop.Notifications"), QStringLiteral("NotificationClosed"));
    closed << id << 3u;
    connection_.send(closed);
}

void StandInNotifications::invoke(uint id, const QString& action) {
    QDBusMessage invoked = QDBusMessage::createSignal(
        QStringLiteral("/org/freedesktop/Notifications"),
        QStringLiteral("org.freedesktop.Notifications"), QStringLiteral("ActionInvoked"));
    invoked << id << action;
    connection_.send(invoked);
}

LauncherListener::LauncherListener(const PrivateBus& bus)
    : connection_(bus.connect(QStringLiteral("launcher-listener"))) {
    listening_ = connection_.connect(
        QString(), QString(), QStringLiteral("com.canonical.Unity.LauncherEntry"),
        QStringLiteral("Update"), this, SLOT(updated(QString, QVariantMap)));
}

LauncherListener::~LauncherListener() {
    QDBusConnection::disconnectFromBus(connection_.name());
}

void LauncherListener::updated(const QString& application, const QVariantMap& properties) {
    updates_.push_back({application, properties.value(QStringLiteral("progress"), -1.0).toDouble(),
                        properties.value(QStringLiteral("progress-visible")).toBool()});
}

} // namespace kestrune::test
