// Notices through the desktop's notification service and the launcher's progress through
// the launcher-entry signal, both on the user's session bus. A desktop without either
// simply shows nothing.
#include "platform/DesktopNotifier.h"
#include "platform/LauncherProgress.h"
#include "platform/linux/DesktopBuses.h"

#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QFileInfo>
#include <QHash>
#include <QObject>
#include <QProcess>
#include <QVariantMap>

namespace kestrune::platform {
namespace {

const QString kNotifications = QStringLiteral("org.freedesktop.Notifications");
const QString kNotificationsPath = QStringLiteral("/org/freedesktop/Notifications");
const QString kDefaultAction = QStringLiteral("default");
const QString kCertificateAction = QStringLiteral("certificate");
const QString kFolderAction = QStringLiteral("folder");

std::atomic<bool> notifierTraced{false};
std::atomic<bool> launcherTraced{false};

// A session bus connection, opened again when it was lost (a desktop restarted).
bool connected(std::unique_ptr<DesktopBus>& bus, std::atomic<bool>& traced, const char* service) {
    if (bus && bus->isConnected())
        return true;
    bus = std::make_unique<DesktopBus>(DesktopBus::Kind::Session);
    if (bus->isConnected())
        return true;
    traceOnce(traced, service,
              QStringLiteral("nothing is shown on the desktop: ") + bus->failure());
    return false;
}

class SessionDesktopNotifier final : public QObject, public DesktopNotifier {
    Q_OBJECT
public:
    explicit SessionDesktopNotifier(QString desktopId) : desktopId_(std::move(desktopId)) {}

    void notify(const DesktopNotice& notice) override {
        if (!connected(bus_, notifierTraced, "notifications"))
            return;
        if (!listening_) {
            QDBusConnection& bus = bus_->connection();
            bus.connect(kNotifications, kNotificationsPath, kNotifications,
                        QStringLiteral("ActionInvoked"), this, SLOT(actionInvoked(uint, QString)));
            bus.connect(kNotifications, kNotificationsPath, kNotifications,
                        QStringLiteral("NotificationClosed"), this,
                        SLOT(notificationClosed(uint, uint)));
            listening_ = true;
        }
        QDBusMessage call = QDBusMessage::createMethodCall(
            kNotifications, kNotificationsPath, kNotifications, QStringLiteral("Notify"));
        const QVariantMap hints{
            {QStringLiteral("desktop-entry"), desktopId_},
            {QStringLiteral("urgency"), QVariant::fromValue<uchar>(notice.urgent ? 2 : 1)}};
        QStringList actions{kDefaultAction, notice.showLabel};
        if (!notice.certificate.isEmpty())
            actions << kCertificateAction << notice.openCertificateLabel << kFolderAction
                    << notice.openFolderLabel;
        call << notice.application << 0u << desktopId_ << notice.summary << notice.body << actions
             << hints << -1;
        auto* watcher = new QDBusPendingCallWatcher(bus_->connection().asyncCall(call), this);
        connect(watcher, &QDBusPendingCallWatcher::finished, this,
                [this, certificate = notice.certificate](QDBusPendingCallWatcher* finished) {
                    finished->deleteLater();
                    const QDBusPendingReply<uint> reply = *finished;
                    if (reply.isError())
                        traceOnce(notifierTraced, "notifications",
                                  QStringLiteral("no notice shown: %1: %2")
                                      .arg(reply.error().name(), reply.error().message()));
                    else
                        shown_.insert(reply.value(), certificate);
                });
    }

    void setOnShow(std::function<void()> onShow) override { onShow_ = std::move(onShow); }

private slots:
    void actionInvoked(uint id, const QString& action) {
        if (!shown_.contains(id))
            return;
        const QString certificate = shown_.value(id);
        if (action == kDefaultAction && onShow_)
            onShow_();
        else if (action == kCertificateAction && !certificate.isEmpty())
            OpenOnDesktop(certificate);
        else if (action == kFolderAction && !certificate.isEmpty())
            OpenOnDesktop(QFileInfo(certificate).path());
    }
    void notificationClosed(uint id, uint) { shown_.remove(id); }

private:
    QString desktopId_;
    std::unique_ptr<DesktopBus> bus_;
    bool listening_ = false;
    QHash<uint, QString> shown_; // ours, still on the screen, with the certificate they offer
    std::function<void()> onShow_;
};

} // namespace

bool OpenOnDesktop(const QString& path) {
    // The desktop's own choice of program for the file's type, as its file manager would.
    return QProcess::startDetached(QStringLiteral("xdg-open"), {path});
}

namespace {

class SessionLauncherProgress final : public LauncherProgress {
public:
    explicit SessionLauncherProgress(const QString& desktopId)
        : application_(QStringLiteral("application://%1.desktop").arg(desktopId)) {}

    void show(double progress, bool visible) override {
        if (!connected(bus_, launcherTraced, "launcher"))
            return;
        QDBusMessage update = QDBusMessage::createSignal(
            QStringLiteral("/com/canonical/unity/launcherentry/kestrune"),
            QStringLiteral("com.canonical.Unity.LauncherEntry"), QStringLiteral("Update"));
        update << application_
               << QVariantMap{{QStringLiteral("progress"), std::clamp(progress, 0.0, 1.0)},
                              {QStringLiteral("progress-visible"), visible}};
        bus_->connection().send(update);
    }

private:
    QString application_;
    std::unique_ptr<DesktopBus> bus_;
};

} // namespace

std::unique_ptr<DesktopNotifier> sessionDesktopNotifier(const QString& desktopId) {
    return std::make_unique<SessionDesktopNotifier>(desktopId);
}

std::unique_ptr<LauncherProgress> sessionLauncherProgress(const QString& desktopId) {
    return std::make_unique<SessionLauncherProgress>(desktopId);
}

} // namespace kestrune::platform

#include "SessionDesktop.moc"
