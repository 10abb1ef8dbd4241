// The privileged steps of a job for a process that is not root, done by udisks2 on the
// system bus; udisks2 asks polkit, whose agent on the desktop may ask the user.
#include "platform/DiskAuthorization.h"

#include "base/AbortFlag.h"

#include <QAtomicInteger>
#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusError>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusPendingCall>
#include <QDBusUnixFileDescriptor>
#include <QDBusVariant>
#include <QList>
#include <QThread>
#include <QVariantMap>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <optional>
#include <unistd.h>

namespace kestrune::platform {
namespace {

const QString kService = QStringLiteral("org.freedesktop.UDisks2");
const QString kManagerPath = QStringLiteral("/org/freedesktop/UDisks2/Manager");
const QString kManager = QStringLiteral("org.freedesktop.UDisks2.Manager");
const QString kBlock = QStringLiteral("org.freedesktop.UDisks2.Block");
const QString kFilesystem = QStringLiteral("org.freedesktop.UDisks2.Filesystem");
const QString kPartitionTable = QStringLiteral("org.freedesktop.UDisks2.PartitionTable");
const QString kProperties = QStringLiteral("org.freedesktop.DBus.Properties");

constexpr int kQuickCallMs = 25000;
// The user may take a while over the authorization dialog.
constexpr int kAuthorizationCallMs = 10 * 60 * 1000;

void trace(const QString& line) {
    std::printf("udisks2: %s\n", line.toLocal8Bit().constData());
    std::fflush(stdout);
}

struct Reply {
    QDBusMessage message;
    DiskRefusal refusal = DiskRefusal::None;
    QString errorName;
    QString failure;
    bool ok() const { return refusal == DiskRefusal::None; }
};

Reply failed(DiskRefusal refusal, const QString& failure) {
    Reply reply;
    reply.refusal = refusal;
    reply.failure = failure;
    return reply;
}

DiskRefusal refusalOfError(const QString& name, const QString& message, bool interactive) {
    if (name.startsWith(QLatin1String("org.freedesktop.UDisks2.Error.NotAuthorized")))
        return DiskRefusal::NotAuthorized; // refused, cancelled or dismissed
    if (name == QLatin1String("org.freedesktop.UDisks2.Error.DeviceBusy"))
        return DiskRefusal::Busy;
    if (name == QLatin1String("org.freedesktop.UDisks2.Error.Failed") &&
        (message.contains(QString::fromLocal8Bit(std::strerror(EBUSY))) ||
         message.contains(QLatin1String("Device or resource busy"))))
        return DiskRefusal::Busy; // the exclusive open found the disk in use
    if (name == QLatin1String("org.freedesktop.DBus.Error.NoReply") ||
        name == QLatin1String("org.freedesktop.DBus.Error.Timeout") ||
        name == QLatin1String("org.freedesktop.DBus.Error.TimedOut"))
        // Nobody answered the dialog in time, or the service hangs.
        return interactive ? DiskRefusal::NotAuthorized : DiskRefusal::NoDiskService;
    if (name == QLatin1String("org.freedesktop.DBus.Error.ServiceUnknown") ||
        name == QLatin1String("org.freedesktop.DBus.Error.NameHasNoOwner") ||
        name == QLatin1String("org.freedesktop.DBus.Error.NoServer") ||
        name == QLatin1String("org.freedesktop.DBus.Error.Disconnected") ||
        name.startsWith(QLatin1String("org.freedesktop.DBus.Error.Spawn")))
        return DiskRefusal::NoDiskService;
    return DiskRefusal::Gone; // the object went, or the disk failed to open
}

QVariantMap interaction(bool allowed) {
    return {{QStringLiteral("auth.no_user_interaction"), !allowed}};
}

// One connection to the system bus for one job: a bus that was not there at the last job
// may be there now, and DBUS_SYSTEM_BUS_ADDRESS is read afresh.
class SystemBus {
public:
    SystemBus()
        : name_(QStringLiteral("kestrune-disk-access-%1").arg(counter_.fetchAndAddRelaxed(1))),
          bus_(QDBusConnection::connectToBus(QDBusConnection::SystemBus, name_)) {}
    ~SystemBus() { QDBusConnection::disconnectFromBus(name_); }
    SystemBus(const SystemBus&) = delete;
    SystemBus& operator=(const SystemBus&) = delete;

    bool connected() const { return bus_.isConnected(); }
    QString lastError() const { return bus_.lastError().message(); }
    bool passesDescriptors() const {
        return bus_.connectionCapabilities().testFlag(QDBusConnection::UnixFileDescriptorPassing);
    }

    // Waits for the answer, or until the abort flag is set.
    Reply call(const QString& path, const QString& interface, const QString& method,
               const QVariantList& arguments, bool interactive,
               const unsigned char* abortFlag = nullptr) {
        QDBusMessage message = QDBusMessage::createMethodCall(kService, path, interface, method);
        message.setArguments(arguments);
        message.setInteractiveAuthorizationAllowed(interactive);
        QDBusPendingCall pending =
            bus_.asyncCall(message, interactive ? kAuthorizationCallMs : kQuickCallMs);
        while (!pending.isFinished()) {
            if (AbortFlag::raisedAt(abortFlag))
                return failed(DiskRefusal::Aborted, QStringLiteral("aborted by the user"));
            QThread::msleep(50);
        }
        Reply reply;
        reply.message = pending.reply();
        if (reply.message.type() == QDBusMessage::ErrorMessage) {
            reply.errorName = reply.message.errorName();
            reply.failure =
                QStringLiteral("%1: %2").arg(reply.errorName, reply.message.errorMessage());
            reply.refusal =
                refusalOfError(reply.errorName, reply.message.errorMessage(), interactive);
        } else if (reply.message.type() != QDBusMessage::ReplyMessage) {
            reply.refusal = DiskRefusal::NoDiskService;
            reply.failure = QStringLiteral("no answer from udisks2");
        }
        return reply;
    }

    // A property of an object; nothing when the object lacks the interface.
    std::optional<QVariant> property(const QString& path, const QString& interface,
                                     const QString& name, Reply& failure) {
        Reply reply = call(path, kProperties, QStringLiteral("Get"), {interface, name}, false);
        if (!reply.ok()) {
            if (reply.errorName == QLatin1String("org.freedesktop.DBus.Error.InvalidArgs"))
                return std::nullopt; // no such interface on this object
            failure = reply;
            return std::nullopt;
        }
        if (reply.message.arguments().isEmpty())
            return QVariant();
        return qvariant_cast<QDBusVariant>(reply.message.arguments().constFirst()).variant();
    }

private:
    static inline QAtomicInteger<int> counter_{0};
    QString name_;
    QDBusConnection bus_;
};

QList<QDBusObjectPath> objectPaths(const QVariant& value) {
    return qdbus_cast<QList<QDBusObjectPath>>(value);
}

int countArrayElements(const QVariant& value) {
    if (!value.canConvert<QDBusArgument>())
        return 0;
    const QDBusArgument argument = value.value<QDBusArgument>();
    int count = 0;
    argument.beginArray();
    while (!argument.atEnd()) {
        QByteArray element;
        argument >> element;
        ++count;
    }
    argument.endArray();
    return count;
}

// The object of the whole disk: found by device number, or by path on a udisks2 that
// does not resolve device numbers (2.9), and then checked by its device number.
std::optional<QString> blockObject(SystemBus& bus, const KestruneDiskIdentity& identity,
                                   Reply& failure) {
    const QVariantMap lookups[] = {
        {{QStringLiteral("devicenumber"), QVariant::fromValue<quint64>(identity.devt)}},
        {{QStringLiteral("path"), QString::fromLocal8Bit(identity.path)}}};
    for (const QVariantMap& lookup : lookups) {
        Reply reply = bus.call(kManagerPath, kManager, QStringLiteral("ResolveDevice"),
                               {lookup, QVariantMap()}, false);
        if (!reply.ok()) {
            failure = reply;
            return std::nullopt;
        }
        if (reply.message.arguments().isEmpty())
            continue;
        for (const QDBusObjectPath& path : objectPaths(reply.message.arguments().constFirst())) {
            const auto number =
                bus.property(path.path(), kBlock, QStringLiteral("DeviceNumber"), failure);
            if (!failure.ok())
                return std::nullopt;
            if (number && number->toULongLong() == identity.devt)
                return path.path();
        }
    }
    failure =
        failed(DiskRefusal::Gone, QStringLiteral("udisks2 does not know %1").arg(identity.path));
    return std::nullopt;
}

// Unmounts the disk's own file system and those of its partitions.
Reply unmountVolumes(SystemBus& bus, const QString& disk, const unsigned char* abortFlag) {
    Reply failure;
    QStringList objects{disk};
    if (const auto partitions =
            bus.property(disk, kPartitionTable, QStringLiteral("Partitions"), failure)) {
        for (const QDBusObjectPath& path : objectPaths(*partitions))
            objects << path.path();
    }
    if (!failure.ok())
        return failure;
    for (const QString& object : objects) {
        const auto mountPoints =
            bus.property(object, kFilesystem, QStringLiteral("MountPoints"), failure);
        if (!failure.ok())
            return failure;
        if (!mountPoints || countArrayElements(*mountPoints) == 0)
            continue;
        Reply reply = bus.call(object, kFilesystem, QStringLiteral("Unmount"), {interaction(true)},
                               true, abortFlag);
        if (!reply.ok() &&
            reply.errorName != QLatin1String("org.freedesktop.UDisks2.Error.NotMounted"))
            return reply;
    }
    return {};
}

class UdisksDiskAccess final : public DiskAuthorization {
public:
    DiskOpening openForWriting(const KestruneDiskIdentity& identity,
                               const unsigned char* abortFlag) override {
        DiskOpening opening;
        auto fail = [&](const Reply& reply) {
            opening.refusal = reply.refusal;
            opening.failure = reply.failure;
            trace(QStringLiteral("%1: %2").arg(identity.path, reply.failure));
            return std::move(opening);
        };
        SystemBus bus;
        if (!bus.connected())
            return fail(failed(
                DiskRefusal::NoDiskService,
                QStringLiteral("the system bus cannot be reached: %1").arg(bus.lastError())));
        if (!bus.passesDescriptors())
            return fail(failed(DiskRefusal::NoDiskService,
                               QStringLiteral("the system bus cannot pass descriptors")));
        Reply failure;
        const auto disk = blockObject(bus, identity, failure);
        if (!disk)
            return fail(failure);
        if (Reply unmounted = unmountVolumes(bus, *disk, abortFlag); !unmounted.ok())
            return fail(unmounted);
        const QVariantMap options{{QStringLiteral("flags"), int(O_EXCL | O_DIRECT)},
                                  {QStringLiteral("auth.no_user_interaction"), false}};
        Reply opened = bus.call(*disk, kBlock, QStringLiteral("OpenDevice"),
                                {QStringLiteral("rw"), options}, true, abortFlag);
        if (!opened.ok())
            return fail(opened);
        int fd = -1;
        {
            // The object keeps a descriptor of its own: take one duplicate and let it go, or
            // the exclusive open would outlive the job.
            const auto passed = opened.message.arguments().isEmpty()
                                    ? QDBusUnixFileDescriptor()
                                    : qvariant_cast<QDBusUnixFileDescriptor>(
                                          opened.message.arguments().constFirst());
            if (passed.isValid())
                fd = fcntl(passed.fileDescriptor(), F_DUPFD_CLOEXEC, 0);
            opened.message = QDBusMessage();
        }
        if (fd < 0)
            return fail(
                failed(DiskRefusal::Gone, QStringLiteral("udisks2 passed no usable descriptor")));
        opening.disk = std::make_unique<AuthorizedDisk>(fd);
        return opening;
    }

    void rescan(const KestruneDiskIdentity& identity) override {
        SystemBus bus;
        if (!bus.connected())
            return;
        Reply failure;
        const auto disk = blockObject(bus, identity, failure);
        Reply reply =
            disk ? bus.call(*disk, kBlock, QStringLiteral("Rescan"), {interaction(false)}, false)
                 : failure;
        if (!reply.ok())
            trace(QStringLiteral("%1: no rescan: %2").arg(identity.path, reply.failure));
    }
};

} // namespace

std::shared_ptr<DiskAuthorization> diskAuthorizationForThisProcess() {
    if (geteuid() == 0)
        return nullptr;
    return std::make_shared<UdisksDiskAccess>();
}

} // namespace kestrune::platform
