// Desktop services for tests, on a bus of the test's own: a dbus-daemon started for the
// test, a stand-in login manager that hands out inhibitor descriptors and sees them close,
// a stand-in notification server, and a listener for the launcher's progress.
#pragma once

#include <QDBusConnection>
#include <QDBusUnixFileDescriptor>
#include <QObject>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <QVariantMap>
#include <memory>
#include <vector>

namespace kestrune::test {

// A bus daemon of the test's own for its lifetime; the machine's buses are never touched.
class PrivateBus {
public:
    PrivateBus();
    ~PrivateBus();
    PrivateBus(const PrivateBus&) = delete;
    PrivateBus& operator=(const PrivateBus&) = delete;

    // Empty when the daemon could not be started; failure() says why.
    QString address() const { return address_; }
    QString failure() const { return failure_; }
    // A connection of the test's own to it.
    QDBusConnection connect(const QString& name) const;

private:
    QTemporaryDir dir_;
    QProcess daemon_;
    QString address_;
    QString failure_;
};

// org.freedesktop.login1.Manager as far as Inhibit goes: each call gets the write end of a
// pipe whose read end the stand-in keeps, so it sees when the caller lets go.
class StandInLogind : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.login1.Manager")
public:
    struct Inhibition {
        QString what;
        QString who;
        QString why;
        QString mode;
        int readEnd = -1;
    };
    explicit StandInLogind(const PrivateBus& bus);
    ~StandInLogind() override;
    bool registered() const { return registered_; }

    const std::vector<Inhibition>& inhibitions() const { return inhibitions_; }
    // Whether the caller still holds the descriptor of that call.
    bool held(std::size_t call) const;
    int heldCount() const;

public slots:
    QDBusUnixFileDescriptor Inhibit(const QString& what, const QString& who, const QString& why,
                                    const QString& mode);

private:
    QDBusConnection connection_;
    bool registered_ = false;
    std::vector<Inhibition> inhibitions_;
};

// org.freedesktop.Notifications: records each notice and can play the user's click.
class StandInNotifications : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")
public:
    struct Notice {
        uint id = 0;
        QString application;
        QString icon;
        QString summary;
        QString body;
        QStringList actions;
        QVariantMap hints;
    };
    explicit StandInNotifications(const PrivateBus& bus);
    ~StandInNotifications() override;
    bool registered() const { return registered_; }
    const std::vector<Notice>& notices() const { return notices_; }
    // The user activates an action of a notice (the notice's body: "default").
    void invoke(uint id, const QString& action);

public slots:
    uint Notify(const QString& application, uint replacesId, const QString& icon,
                const QString& summary, const QString& body, const QStringList& actions,
                const QVariantMap& hints, int timeout);
    QStringList GetCapabilities();
    void CloseNotification(uint id);

private:
    QDBusConnection connection_;
    bool registered_ = false;
    std::vector<Notice> notices_;
    uint nextId_ = 41;
};

// What docks read: every com.canonical.Unity.LauncherEntry.Update on the bus.
class LauncherListener : public QObject {
    Q_OBJECT
public:
    struct Update {
        QString application;
        double progress = -1;
        bool visible = false;
    };
    explicit LauncherListener(const PrivateBus& bus);
    ~LauncherListener() override;
    bool listening() const { return listening_; }
    const std::vector<Update>& updates() const { return updates_; }

private slots:
    void updated(const QString& application, const QVariantMap& properties);

private:
    QDBusConnection connection_;
    bool listening_ = false;
    std::vector<Update> updates_;
};

} // namespace kestrune::test
