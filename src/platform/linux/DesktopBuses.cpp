#include "platform/linux/DesktopBuses.h"

#include "base/InvokingUser.h"

#include <QDBusError>
#include <QFileInfo>
#include <cstdio>
#include <sys/stat.h>

namespace kestrune::platform {
namespace {

constexpr char kSystemBusSocket[] = "unix:path=/run/dbus/system_bus_socket";

std::atomic<int> connections{0};

QString systemBusAddress() {
    // Root working for a user takes the system's own bus, never one the user's environment
    // names.
    if (ElevatedFor())
        return QString::fromLatin1(kSystemBusSocket);
    const QString address = qEnvironmentVariable("DBUS_SYSTEM_BUS_ADDRESS");
    return address.isEmpty() ? QString::fromLatin1(kSystemBusSocket) : address;
}

QString socketAddress(const QByteArray& socket) {
    struct stat info {};
    if (::lstat(socket.constData(), &info) != 0 || !S_ISSOCK(info.st_mode))
        return {};
    return QStringLiteral("unix:path=") + QString::fromLocal8Bit(socket);
}

// What the session's programs use; never a bus started just for us.
QString sessionBusAddress() {
    // Root working for a user takes no address from the user's environment: a D-Bus address
    // can name a program to run (unixexec:). Only the user's bus socket where the system
    // puts it is taken.
    if (const std::optional<InvokingUser> user = ElevatedFor())
        return socketAddress("/run/user/" + QByteArray::number(user->uid) + "/bus");
    const QString address = qEnvironmentVariable("DBUS_SESSION_BUS_ADDRESS");
    if (!address.isEmpty())
        return address;
    const QByteArray runtime = qgetenv("XDG_RUNTIME_DIR");
    if (runtime.isEmpty())
        return {};
    return socketAddress(runtime + "/bus");
}

} // namespace

DesktopBus::DesktopBus(Kind kind)
    : name_(QStringLiteral("kestrune-desktop-%1").arg(connections.fetch_add(1))),
      address_(kind == Kind::System ? systemBusAddress() : sessionBusAddress()),
      connection_(address_.isEmpty() ? QDBusConnection(name_)
                                     : QDBusConnection::connectToBus(address_, name_)) {}

DesktopBus::~DesktopBus() {
    if (!address_.isEmpty())
        QDBusConnection::disconnectFromBus(name_);
}

QString DesktopBus::failure() const {
    if (address_.isEmpty())
        return ElevatedFor() ? QStringLiteral("no session bus of the invoking user at "
                                              "/run/user/<uid>/bus")
                             : QStringLiteral("no session bus (neither DBUS_SESSION_BUS_ADDRESS "
                                              "nor $XDG_RUNTIME_DIR/bus)");
    const QDBusError error = connection_.lastError();
    return QStringLiteral("%1: %2").arg(
        address_, error.isValid() ? error.message() : QStringLiteral("not connected"));
}

void traceOnce(std::atomic<bool>& flag, const char* service, const QString& line) {
    if (flag.exchange(true))
        return;
    std::printf("%s: %s\n", service, line.toLocal8Bit().constData());
    std::fflush(stdout);
}

} // namespace kestrune::platform
