#include "platform/DeviceMonitor.h"

#include "base/DiskSafety.h"
#include "platform/DeviceEvents.h"
#include "platform/linux/BlockDiskEnumerator.h"
#include "platform/linux/DirectoryEntries.h"

#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSocketNotifier>
#include <QTimer>
#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <libmount/libmount.h>
#include <libudev.h>
#include <set>
#include <sys/inotify.h>
#include <unistd.h>

namespace kestrune::platform {

namespace {

// "sdb" + "1", "mmcblk0" + "p1": a name ending in a digit takes a "p" before the number,
// so loop10 is never taken for a partition of loop1.
bool isPartitionOf(const QString& disk, const QString& path) {
    if (!path.startsWith(disk))
        return false;
    const QString rest = path.mid(disk.size());
    if (rest.isEmpty())
        return true;
    static const QRegularExpression afterDigit(QStringLiteral("^p\\d+$"));
    static const QRegularExpression afterLetter(QStringLiteral("^\\d+$"));
    const bool endsInDigit = !disk.isEmpty() && disk.back().isDigit();
    return (endsInDigit ? afterDigit : afterLetter).match(rest).hasMatch();
}

} // namespace

DeviceMonitorOptions DeviceMonitorOptions::fromEnvironment() {
    DeviceMonitorOptions options;
    if (qEnvironmentVariableIsSet("KESTRUNE_SIMULATED_DISKS")) {
        options.simulatedFolder = simulatedDisksFolder();
        options.loopDevicesOnly = true;
    }
    return options;
}

struct DeviceMonitor::Impl {
    Impl(DeviceMonitor* monitor, const DeviceMonitorOptions& chosen)
        : owner(monitor), options(chosen),
          burst(
              chosen.debounceMs, [monitor] { emit monitor->volumeArrived(); },
              [monitor] { emit monitor->volumeRemoved(); }),
          suppressed(chosen.suppressGraceMs) {}

    DeviceMonitor* owner = nullptr;
    DeviceMonitorOptions options;

    udev* udevContext = nullptr;
    udev_monitor* udevMonitor = nullptr;
    libmnt_monitor* mountMonitor = nullptr;
    libmnt_table* mounts = nullptr;
    int inotifyFd = -1;
    QString watchedFolder;
    std::vector<QSocketNotifier*> notifiers;

    EventBurst burst;
    SuppressedDisks suppressed;
    QTimer poll;
    std::set<QByteArray> lastDisks;
    QByteArray lastMounts;

    ~Impl() {
        for (QSocketNotifier* notifier : notifiers)
            delete notifier;
        if (udevMonitor)
            udev_monitor_unref(udevMonitor);
        if (udevContext)
            udev_unref(udevContext);
        if (mountMonitor)
            mnt_unref_monitor(mountMonitor);
        if (mounts)
            mnt_unref_table(mounts);
        if (inotifyFd >= 0)
            ::close(inotifyFd);
    }

    void watch(int fd, void (Impl::*handler)()) {
        auto* notifier = new QSocketNotifier(fd, QSocketNotifier::Read);
        QObject::connect(notifier, &QSocketNotifier::activated, owner,
                         [this, handler] { (this->*handler)(); });
        notifiers.push_back(notifier);
    }

    // A disk path, or a partition of it ("/dev/sdb" covers "/dev/sdb1", "/dev/mmcblk0p1").
    bool isSuppressed(const QString& path) { return suppressed.covers(path, isPartitionOf); }

    void note(bool arrival) { burst.note(arrival); }

    bool counts(const QString& kernelName) const {
        const bool loop = kernelName.startsWith(QLatin1String("loop"));
        return options.loopDevicesOnly
                   ? loop
                   : !isNeverWrittenName(QFile::encodeName(kernelName).toStdString());
    }

    bool openUdev() {
        udevContext = udev_new();
        const QByteArray source = !options.udevSource.isEmpty() ? options.udevSource.toUtf8()
                                  : QFileInfo::exists(QStringLiteral("/run/udev/control"))
                                      ? QByteArray("udev")
                                      : QByteArray("kernel");
        if (udevContext)
            udevMonitor = udev_monitor_new_from_netlink(udevContext, source.constData());
        if (!udevMonitor ||
            udev_monitor_filter_add_match_subsystem_devtype(udevMonitor, "block", nullptr) < 0 ||
            udev_monitor_enable_receiving(udevMonitor) < 0) {
            startPolling(QStringLiteral("no %1 events for block devices").arg(source));
            return false;
        }
        watch(udev_monitor_get_fd(udevMonitor), &Impl::readUdev);
        return true;
    }

    void readUdev() {
        errno = 0;
        while (udev_device* device = udev_monitor_receive_device(udevMonitor)) {
            handleUdev(device);
            udev_device_unref(device);
            errno = 0;
        }
        // The kernel dropped events for us: read everything afresh.
        if (errno == ENOBUFS)
            note(true);
    }

    // The monitors cannot tell us what changes: compare the system's tables ourselves.
    void startPolling(const QString& why) {
        if (poll.isActive())
            return;
        std::fprintf(stderr,
                     "Device monitor: %s; following disks by reading /sys/block and the mount "
                     "table every %d ms instead\n",
                     why.toLocal8Bit().constData(), options.pollIntervalMs);
        lastDisks = diskSignature();
        lastMounts = mountSignature();
        poll.start(options.pollIntervalMs);
    }

    // Each disk with its device number, size and (for a loop device) backing file.
    std::set<QByteArray> diskSignature() const {
        std::set<QByteArray> disks;
        for (const QByteArray& name : linux_impl::directoryEntries(QStringLiteral("/sys/block"))
                                          .value_or(std::vector<QByteArray>{})) {
            if (!counts(QString::fromLatin1(name)))
                continue;
            QByteArray entry = name;
            for (const char* attribute : {"/dev", "/size", "/diskseq", "/loop/backing_file"}) {
                QFile file(QStringLiteral("/sys/block/") + QString::fromLatin1(name) +
                           QLatin1String(attribute));
                if (file.open(QIODevice::ReadOnly))
                    entry += ' ' + file.readAll().trimmed();
            }
            disks.insert(entry);
        }
        return disks;
    }

    QByteArray mountSignature() const {
        if (!options.watchMounts)
            return {};
        QFile table(QStringLiteral("/proc/self/mountinfo"));
        return table.open(QIODevice::ReadOnly) ? table.readAll() : QByteArray();
    }

    void readPoll() {
        std::set<QByteArray> disks = diskSignature();
        QByteArray mountTable = mountSignature();
        if (disks != lastDisks) {
            const bool removed = std::any_of(lastDisks.begin(), lastDisks.end(),
                                             [&](const QByteArray& d) { return !disks.count(d); });
            const bool added = std::any_of(disks.begin(), disks.end(), [&](const QByteArray& d) {
                return !lastDisks.count(d);
            });
            if (removed)
                note(false);
            if (added)
                note(true);
        } else if (mountTable != lastMounts) {
            note(true);
        }
        lastDisks = std::move(disks);
        lastMounts = std::move(mountTable);
    }

    void handleUdev(udev_device* device) {
        const char* action = udev_device_get_action(device);
        const char* sysname = udev_device_get_sysname(device);
        if (!action || !sysname || !counts(QString::fromLatin1(sysname)))
            return;
        const char* node = udev_device_get_devnode(device);
        const QString path =
            node ? QFile::decodeName(node) : QStringLiteral("/dev/") + QString::fromLatin1(sysname);
        if (isSuppressed(path))
            return;
        const QByteArray what(action);
        const char* devtype = udev_device_get_devtype(device);
        if (what == "add")
            note(true);
        else if (what == "remove")
            note(false);
        // A card put into or taken out of a reader: the disk stays, its medium changes.
        else if (what == "change" && devtype && qstrcmp(devtype, "disk") == 0)
            note(true);
    }

    bool openMounts() {
        mounts = mnt_new_table();
        if (mounts)
            mnt_table_parse_mtab(mounts, nullptr);
        mountMonitor = mnt_new_monitor();
        if (!mountMonitor || mnt_monitor_enable_kernel(mountMonitor, 1) < 0) {
            startPolling(QStringLiteral("no mount events"));
            return false;
        }
        const int fd = mnt_monitor_get_fd(mountMonitor);
        if (fd < 0) {
            startPolling(QStringLiteral("no mount events"));
            return false;
        }
        watch(fd, &Impl::readMounts);
        return true;
    }

    void readMounts() {
        while (mnt_monitor_next_change(mountMonitor, nullptr, nullptr) == 0) {
        }
        libmnt_table* current = mnt_new_table();
        if (!current || mnt_table_parse_mtab(current, nullptr) != 0) {
            if (current)
                mnt_unref_table(current);
            note(true);
            return;
        }
        bool relevant = false;
        libmnt_tabdiff* diff = mnt_new_tabdiff();
        libmnt_iter* iter = mnt_new_iter(MNT_ITER_FORWARD);
        if (diff && iter && mounts && mnt_diff_tables(diff, mounts, current) > 0) {
            libmnt_fs* before = nullptr;
            libmnt_fs* after = nullptr;
            int operation = 0;
            while (mnt_tabdiff_next_change(diff, iter, &before, &after, &operation) == 0) {
                for (libmnt_fs* fs : {before, after}) {
                    // An overlay can make the disks under its layers system disks.
                    if (fs && qstrcmp(mnt_fs_get_fstype(fs), "overlay") == 0) {
                        relevant = true;
                        continue;
                    }
                    const char* source = fs ? mnt_fs_get_srcpath(fs) : nullptr;
                    // Only disks are of interest; names refresh after their mounts change.
                    if (!source || qstrncmp(source, "/dev/", 5) != 0 ||
                        (options.loopDevicesOnly && qstrncmp(source, "/dev/loop", 9) != 0))
                        continue;
                    if (!isSuppressed(QFile::decodeName(source)))
                        relevant = true;
                }
            }
        }
        mnt_free_iter(iter);
        mnt_free_tabdiff(diff);
        if (mounts)
            mnt_unref_table(mounts);
        mounts = current;
        if (relevant)
            note(true);
    }

    bool openFolder() {
        inotifyFd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        if (inotifyFd < 0)
            return false;
        watchedFolder = QFileInfo(options.simulatedFolder).absoluteFilePath();
        const uint32_t mask = IN_CREATE | IN_CLOSE_WRITE | IN_MOVED_TO | IN_DELETE | IN_MOVED_FROM;
        if (inotify_add_watch(inotifyFd, QFile::encodeName(watchedFolder).constData(), mask) < 0) {
            std::fprintf(stderr, "Device monitor: cannot watch %s\n",
                         QFile::encodeName(watchedFolder).constData());
            return false;
        }
        watch(inotifyFd, &Impl::readFolder);
        return true;
    }

    void readFolder() {
        alignas(inotify_event) char buffer[sizeof(inotify_event) + NAME_MAX + 1];
        for (;;) {
            const ssize_t length = ::read(inotifyFd, buffer, sizeof buffer);
            if (length <= 0)
                return;
            for (ssize_t offset = 0;
                 offset + static_cast<ssize_t>(sizeof(inotify_event)) <= length;) {
                const auto* event = reinterpret_cast<const inotify_event*>(buffer + offset);
                offset += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
                if (event->len == 0 || (event->mask & IN_ISDIR))
                    continue;
                const QString name = QFile::decodeName(event->name);
                if (!name.endsWith(QLatin1String(".img")))
                    continue;
                if (isSuppressed(watchedFolder + QLatin1Char('/') + name))
                    continue;
                if (event->mask & (IN_DELETE | IN_MOVED_FROM))
                    note(false);
                else
                    note(true);
            }
        }
    }
};

DeviceMonitor::DeviceMonitor(QObject* parent)
    : DeviceMonitor(DeviceMonitorOptions::fromEnvironment(), parent) {}

DeviceMonitor::DeviceMonitor(const DeviceMonitorOptions& options, QObject* parent)
    : QObject(parent), d_(std::make_unique<Impl>(this, options)) {
    connect(&d_->poll, &QTimer::timeout, this, [this] { d_->readPoll(); });
    if (options.watchBlockDevices)
        d_->openUdev();
    if (options.watchMounts)
        d_->openMounts();
    if (!options.simulatedFolder.isEmpty() && options.watchSimulatedFolder)
        d_->openFolder();
}

DeviceMonitor::~DeviceMonitor() = default;

bool DeviceMonitor::isWatching() const {
    return !d_->notifiers.empty() || d_->poll.isActive();
}

bool DeviceMonitor::isPolling() const {
    return d_->poll.isActive();
}

void DeviceMonitor::suppressDisk(const QString& path, bool suppress) {
    // Image files are reported under their absolute names.
    const QString key =
        path.startsWith(QLatin1String("/dev/")) ? path : QFileInfo(path).absoluteFilePath();
    d_->suppressed.set(key, suppress);
}

} // namespace kestrune::platform
