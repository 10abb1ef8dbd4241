#pragma once

#include <QDBusConnection>
#include <QString>
#include <atomic>

namespace kestrune::platform {

// A private connection to the system bus, or to the session bus of the user who sits at
// this desktop; check isConnected(). Each call opens a new one under a name of its own, read
// from the environment as it is now (the toolkit's shared connections keep whatever address
// they met first). Disconnected from the bus when the object goes.
class DesktopBus {
public:
    enum class Kind { System, Session };
    explicit DesktopBus(Kind kind);
    ~DesktopBus();
    DesktopBus(const DesktopBus&) = delete;
    DesktopBus& operator=(const DesktopBus&) = delete;

    QDBusConnection& connection() { return connection_; }
    bool isConnected() const { return connection_.isConnected(); }
    // Why not connected.
    QString failure() const;

private:
    QString name_;
    QString address_;
    QDBusConnection connection_;
};

// Writes a trace line about a desktop service the first time flag is still clear.
void traceOnce(std::atomic<bool>& flag, const char* service, const QString& line);

} // namespace kestrune::platform
