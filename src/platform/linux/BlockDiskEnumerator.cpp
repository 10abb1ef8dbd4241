#include "platform/linux/BlockDiskEnumerator.h"

#include "base/DiskSafety.h"
#include "platform/MediumNames.h"
#include "platform/linux/DirectoryEntries.h"
#include "platform/linux/VolumeProbe.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <fcntl.h>
#include <libudev.h>
#include <map>
#include <set>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace kestrune::platform::linux_impl {

namespace {

std::optional<QByteArray> readAttribute(const QString& path) {
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return std::nullopt;
    QByteArray data;
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0) {
            ::close(fd);
            return std::nullopt;
        }
        if (n == 0)
            break;
        data.append(buffer, n);
    }
    ::close(fd);
    while (!data.isEmpty() && (data.back() == '\n' || data.back() == '\r'))
        data.chop(1);
    return data;
}

std::optional<std::uint64_t> readNumber(const QString& path) {
    const auto text = readAttribute(path);
    if (!text)
        return std::nullopt;
    bool ok = false;
    const std::uint64_t value = text->trimmed().toULongLong(&ok);
    return ok ? std::optional(value) : std::nullopt;
}

std::optional<dev_t> readDevt(const QString& path) {
    const auto text = readAttribute(path);
    if (!text)
        return std::nullopt;
    const QList<QByteArray> parts = text->trimmed().split(':');
    if (parts.size() != 2)
        return std::nullopt;
    bool okMajor = false, okMinor = false;
    const unsigned major = parts[0].toUInt(&okMajor);
    const unsigned minor = parts[1].toUInt(&okMinor);
    if (!okMajor || !okMinor)
        return std::nullopt;
    return makedev(major, minor);
}

bool hasEntries(const QString& dir) {
    return !QDir(dir)
                .entryList(QDir::AllEntries | QDir::System | QDir::Hidden | QDir::NoDotAndDotDot)
                .isEmpty();
}

using Properties = std::map<QByteArray, QByteArray>;

Properties libudevProperties(dev_t devt) {
    Properties properties;
    udev* context = udev_new();
    if (!context)
        return properties;
    if (udev_device* device = udev_device_new_from_devnum(context, 'b', devt)) {
        udev_list_entry* entry = nullptr;
        udev_list_entry_foreach(entry, udev_device_get_properties_list_entry(device)) {
            const char* name = udev_list_entry_get_name(entry);
            const char* value = udev_list_entry_get_value(entry);
            if (name && value)
                properties[QByteArray(name)] = QByteArray(value);
        }
        udev_device_unref(device);
    }
    udev_unref(context);
    return properties;
}

Properties readUdevProperties(const BlockSystemPaths& paths, dev_t devt) {
    return paths.udevProperties ? paths.udevProperties(devt) : libudevProperties(devt);
}

// udev's *_ENC values keep the device's own bytes, with \xNN for anything unusual.
QByteArray decodeUdevEncoded(const QByteArray& value) {
    QByteArray out;
    for (qsizetype i = 0; i < value.size(); ++i) {
        if (value[i] == '\\' && i + 3 < value.size() && value[i + 1] == 'x') {
            bool ok = false;
            const int byte = value.mid(i + 2, 2).toInt(&ok, 16);
            if (ok) {
                out.append(static_cast<char>(byte));
                i += 3;
                continue;
            }
        }
        out.append(value[i]);
    }
    return out;
}

std::optional<QByteArray> udevText(const Properties& properties, const char* key) {
    const auto encoded = properties.find(QByteArray(key) + "_ENC");
    if (encoded != properties.end())
        return decodeUdevEncoded(encoded->second);
    const auto plain = properties.find(QByteArray(key));
    if (plain != properties.end())
        return plain->second;
    return std::nullopt;
}

QString firstText(std::initializer_list<std::optional<QByteArray>> candidates) {
    for (const auto& candidate : candidates) {
        if (!candidate)
            continue;
        const QString text = cleanDeviceText(*candidate);
        if (!text.isEmpty())
            return text;
    }
    return {};
}

// A card reader is a USB disk too: udev's rules mark the readers they know, and most others
// say what they are in their product name.
bool isCardReader(const Properties& properties, const QString& product) {
    for (const auto& [key, value] : properties)
        if ((key.startsWith("ID_DRIVE_FLASH_") || key.startsWith("ID_DRIVE_MEDIA_FLASH_")) &&
            value == "1")
            return true;
    return namesCardReader(product);
}

// A USB disk that says its medium is removable is a stick; USB hard disks and SSDs say it is
// fixed, and so do some sticks, which udev's rules or their names give away.
bool isFlashDrive(bool removable, const Properties& properties, const QString& product) {
    if (removable)
        return true;
    const auto thumb = properties.find("ID_DRIVE_THUMB");
    if (thumb != properties.end() && thumb->second == "1")
        return true;
    return namesFlashDrive(product);
}

} // namespace

struct BlockDiskEnumerator::Context {
    SystemUse use;

    QString mountPointOf(dev_t devt, const QString& name) const {
        const std::string kernelName = QFile::encodeName(name).toStdString();
        for (const SystemUse::Mount& mount : use.mounts)
            if ((mount.devno != 0 && mount.devno == devt) || mount.sourceName == kernelName)
                return QFile::decodeName(QByteArray::fromStdString(mount.target));
        return {};
    }
};

struct BlockDiskEnumerator::RawDisk {
    struct Partition {
        QString name;
        dev_t devt = 0;
        std::uint64_t sectors = 0;
        bool holders = false;
    };
    QString name;
    QString dir;
    QString syspath;
    dev_t devt = 0;
    std::uint64_t sectors = 0;
    std::uint64_t diskseq = 0;
    bool readOnly = false;
    bool removableFlag = false;
    bool holders = false;
    QString usbDir;
    QString deviceDir;
    QString mmcType;
    bool scsi = false;
    std::vector<Partition> partitions;
    Properties properties;
};

BlockDiskEnumerator::BlockDiskEnumerator(BlockSystemPaths paths) : paths_(std::move(paths)) {}

BlockDiskEnumerator::Context BlockDiskEnumerator::loadContext() const {
    SystemPaths paths;
    paths.mountinfo = QFile::encodeName(paths_.mountinfo).toStdString();
    paths.swaps = QFile::encodeName(paths_.swaps).toStdString();
    paths.sysfsRoot = QFile::encodeName(paths_.sysfsRoot).toStdString();
    paths.devRoot = QFile::encodeName(paths_.devRoot).toStdString();
    return {readSystemUse(paths)};
}

std::optional<BlockDiskEnumerator::RawDisk> BlockDiskEnumerator::readRaw(const QString& name,
                                                                         const Context&) const {
    RawDisk disk;
    disk.name = name;
    disk.dir = paths_.sysfsRoot + QStringLiteral("/block/") + name;
    disk.syspath = QFileInfo(disk.dir).canonicalFilePath();
    if (disk.syspath.isEmpty())
        return std::nullopt;
    const auto devt = readDevt(disk.dir + QStringLiteral("/dev"));
    const auto sectors = readNumber(disk.dir + QStringLiteral("/size"));
    if (!devt || !sectors)
        return std::nullopt;
    disk.devt = *devt;
    disk.sectors = *sectors;
    disk.diskseq = readNumber(disk.dir + QStringLiteral("/diskseq")).value_or(0);
    disk.readOnly = readNumber(disk.dir + QStringLiteral("/ro")).value_or(0) == 1;
    disk.removableFlag = readNumber(disk.dir + QStringLiteral("/removable")).value_or(0) == 1;
    disk.holders = hasEntries(disk.dir + QStringLiteral("/holders"));

    const QStringList children =
        QDir(disk.dir).entryList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name);
    for (const QString& child : children) {
        const QString partDir = disk.dir + QLatin1Char('/') + child;
        if (!QFileInfo::exists(partDir + QStringLiteral("/partition")))
            continue;
        const auto partDevt = readDevt(partDir + QStringLiteral("/dev"));
        if (!partDevt)
            continue;
        RawDisk::Partition partition;
        partition.name = child;
        partition.devt = *partDevt;
        partition.sectors = readNumber(partDir + QStringLiteral("/size")).value_or(0);
        partition.holders = hasEntries(partDir + QStringLiteral("/holders"));
        disk.partitions.push_back(std::move(partition));
    }

    const QString devicesRoot =
        QFileInfo(paths_.sysfsRoot).canonicalFilePath() + QStringLiteral("/devices");
    disk.usbDir = QFile::decodeName(
        QByteArray::fromStdString(usbDeviceAbove(QFile::encodeName(disk.syspath).toStdString(),
                                                 QFile::encodeName(devicesRoot).toStdString())));
    disk.deviceDir = QFileInfo(disk.dir + QStringLiteral("/device")).canonicalFilePath();
    if (!disk.deviceDir.isEmpty()) {
        if (name.startsWith(QLatin1String("mmcblk")))
            disk.mmcType =
                QString::fromLatin1(readAttribute(disk.deviceDir + QStringLiteral("/type"))
                                        .value_or(QByteArray())
                                        .trimmed());
        disk.scsi = QFileInfo::exists(disk.deviceDir + QStringLiteral("/vendor")) ||
                    QFileInfo::exists(disk.deviceDir + QStringLiteral("/model"));
    }
    disk.properties = readUdevProperties(paths_, disk.devt);
    return disk;
}

QString BlockDiskEnumerator::systemUse(const RawDisk& disk, const Context& context) const {
    if (!context.use.known)
        return QStringLiteral("mount table unreadable");
    bool holders = disk.holders;
    bool system = context.use.uses(disk.devt, QFile::encodeName(disk.name).toStdString());
    for (const auto& partition : disk.partitions) {
        holders = holders || partition.holders;
        system = system ||
                 context.use.uses(partition.devt, QFile::encodeName(partition.name).toStdString());
    }
    if (holders)
        return QStringLiteral("in use by another device");
    if (system)
        return QStringLiteral("holds a system mount or swap");
    return {};
}

BlockDiskEnumerator::Verdict BlockDiskEnumerator::judge(const RawDisk& disk,
                                                        const Context& context) const {
    // Exclusions come first: no removable flag can bring these back.
    if (!context.use.known)
        return {false, QStringLiteral("mount table unreadable"), UnlistedReason::Unreadable};
    if (isNeverWritten(QFile::encodeName(disk.name).toStdString(),
                       QFile::encodeName(disk.syspath).toStdString()))
        return {false, QStringLiteral("virtual or system device"), UnlistedReason::NotRemovable};
    if (const QString use = systemUse(disk, context); !use.isEmpty())
        return {false, use, UnlistedReason::SystemDisk};
    if (!isRemovableMedium(disk.removableFlag, disk.mmcType.toStdString(),
                           QFile::encodeName(disk.usbDir).toStdString()))
        return {false, QStringLiteral("fixed disk"), UnlistedReason::NotRemovable};
    if (!disk.usbDir.isEmpty())
        return {true, QStringLiteral("USB")};
    return {true, disk.mmcType == QLatin1String("SD") ? QStringLiteral("SD card")
                                                      : QStringLiteral("removable")};
}

DiskInfo BlockDiskEnumerator::describe(const RawDisk& disk, const Context& context) const {
    DiskInfo info;
    info.name = disk.name;
    info.identity.path = paths_.devRoot + QLatin1Char('/') + disk.name;
    info.identity.devt = disk.devt;
    info.identity.diskseq = disk.diskseq;
    info.sizeBytes = disk.sectors * 512;
    info.hasMedium = info.sizeBytes > 0;
    info.readOnly = disk.readOnly;
    describeHardware(disk, info);
    describeVolumes(disk, context, info);
    return info;
}

// Vendor, product and serial number (udev's, else sysfs's), the bus and the kind of medium.
void BlockDiskEnumerator::describeHardware(const RawDisk& disk, DiskInfo& info) const {
    auto attribute = [](const QString& dir, const char* file) -> std::optional<QByteArray> {
        if (dir.isEmpty())
            return std::nullopt;
        return readAttribute(dir + QLatin1Char('/') + QLatin1String(file));
    };
    const QString scsiDir = disk.scsi ? disk.deviceDir : QString();
    const QString mmcDir = disk.mmcType.isEmpty() ? QString() : disk.deviceDir;
    info.vendor = firstText({udevText(disk.properties, "ID_VENDOR"), attribute(scsiDir, "vendor"),
                             attribute(disk.usbDir, "manufacturer")});
    info.product = firstText({udevText(disk.properties, "ID_MODEL"), attribute(scsiDir, "model"),
                              attribute(mmcDir, "name"), attribute(disk.usbDir, "product")});
    info.serial = firstText({udevText(disk.properties, "ID_SERIAL_SHORT"),
                             attribute(disk.usbDir, "serial"), attribute(mmcDir, "serial")});

    if (!disk.usbDir.isEmpty())
        info.bus = QStringLiteral("USB");
    else if (!disk.mmcType.isEmpty())
        info.bus = disk.mmcType.toUpper();
    else if (const auto bus = udevText(disk.properties, "ID_BUS"); bus && !bus->isEmpty())
        info.bus = cleanDeviceText(*bus).toUpper();
    else if (disk.syspath.contains(QLatin1String("/ata")))
        info.bus = QStringLiteral("ATA");
    else if (disk.syspath.contains(QLatin1String("/nvme")))
        info.bus = QStringLiteral("NVME");
    else if (disk.syspath.contains(QLatin1String("/virtio")))
        info.bus = QStringLiteral("VIRTIO");
    else if (disk.scsi)
        info.bus = QStringLiteral("SCSI");
    if (!disk.mmcType.isEmpty() || isCardReader(disk.properties, info.product))
        info.mediumType = MediumType::MemoryCard;
    else if (!disk.usbDir.isEmpty() &&
             isFlashDrive(disk.removableFlag, disk.properties, info.product))
        info.mediumType = MediumType::UsbFlashDrive;
    else
        info.mediumType = MediumType::Disk;
}

// A partition's (or the whole disk's) mount point and file system: udev's, else probed.
VolumeInfo BlockDiskEnumerator::describeVolume(const QString& name, dev_t devt,
                                               const Context& context, bool hasMedium) const {
    VolumeInfo volume;
    volume.name = name;
    volume.devicePath = paths_.devRoot + QLatin1Char('/') + name;
    volume.devt = devt;
    volume.mountPoint = context.mountPointOf(devt, name);
    const Properties properties = readUdevProperties(paths_, devt);
    if (const auto type = udevText(properties, "ID_FS_TYPE"); type && !type->isEmpty()) {
        volume.fsType = QString::fromLatin1(*type);
        volume.label = cleanDeviceText(udevText(properties, "ID_FS_LABEL").value_or(QByteArray()));
        volume.fsUuid = cleanDeviceText(udevText(properties, "ID_FS_UUID").value_or(QByteArray()));
    } else if (hasMedium) {
        const FileSystemProbe probe = probeFileSystem(QFile::encodeName(volume.devicePath));
        if (probe.found) {
            volume.fsType = probe.type;
            volume.label = cleanDeviceText(probe.label);
            volume.fsUuid = cleanDeviceText(probe.uuid);
        }
    }
    return volume;
}

void BlockDiskEnumerator::describeVolumes(const RawDisk& disk, const Context& context,
                                          DiskInfo& info) const {
    for (const auto& partition : disk.partitions) {
        // Two sectors or less: the container of logical partitions, never a volume.
        if (partition.sectors <= 2)
            continue;
        info.volumes.push_back(
            describeVolume(partition.name, partition.devt, context, info.hasMedium));
    }
    if (!disk.partitions.empty() || !info.hasMedium)
        return;
    VolumeInfo whole = describeVolume(disk.name, disk.devt, context, info.hasMedium);
    if (!whole.fsType.isEmpty() || !whole.mountPoint.isEmpty()) {
        info.volumes.push_back(std::move(whole));
        return;
    }
    // The kernel has not read the partition table (a loop device, a kernel without its
    // parser): the volumes are read from their byte ranges, without a node.
    const bool endsInDigit = !disk.name.isEmpty() && disk.name.back().isDigit();
    for (const PartitionProbe& partition : probePartitions(QFile::encodeName(info.identity.path))) {
        VolumeInfo volume;
        volume.name = disk.name + (endsInDigit ? QStringLiteral("p") : QString()) +
                      QString::number(partition.number);
        volume.fsType = partition.fileSystem.type;
        volume.label = cleanDeviceText(partition.fileSystem.label);
        volume.fsUuid = cleanDeviceText(partition.fileSystem.uuid);
        info.volumes.push_back(std::move(volume));
    }
}

QString BlockDiskEnumerator::poolInUse(const DiskInfo& disk) const {
    for (const VolumeInfo& volume : disk.volumes) {
        // A member of a file system that spans devices is not mounted by its own name: the
        // kernel's own tables tell whether its pool is in use.
        if (volume.fsType == QLatin1String("btrfs") && !volume.fsUuid.isEmpty()) {
            const QString devices =
                paths_.sysfsRoot + QStringLiteral("/fs/btrfs/%1/devices").arg(volume.fsUuid);
            if (QDir(devices)
                    .entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot)
                    .size() > 1)
                return QStringLiteral("member of a btrfs file system in use");
        } else if (volume.fsType == QLatin1String("bcachefs") && !volume.fsUuid.isEmpty()) {
            if (QFileInfo::exists(paths_.sysfsRoot +
                                  QStringLiteral("/fs/bcachefs/%1").arg(volume.fsUuid)))
                return QStringLiteral("member of a bcachefs file system in use");
        } else if (volume.fsType == QLatin1String("zfs_member")) {
            // The label of a member is its pool's name; an imported pool has its kstat folder.
            if (!volume.label.isEmpty() &&
                QFileInfo::exists(paths_.procRoot +
                                  QStringLiteral("/spl/kstat/zfs/%1").arg(volume.label)))
                return QStringLiteral("member of an imported ZFS pool");
        }
    }
    return {};
}

std::optional<DiskInfo> BlockDiskEnumerator::readDisk(const QString& name) const {
    const Context context = loadContext();
    const auto raw = readRaw(name, context);
    if (!raw)
        return std::nullopt;
    return describe(*raw, context);
}

std::optional<DiskInfo> BlockDiskEnumerator::readDiskUnlessInUse(const QString& name) const {
    const Context context = loadContext();
    const auto raw = readRaw(name, context);
    if (!raw || !systemUse(*raw, context).isEmpty())
        return std::nullopt;
    DiskInfo disk = describe(*raw, context);
    if (!poolInUse(disk).isEmpty())
        return std::nullopt;
    return disk;
}

BlockDiskEnumerator::Verdict BlockDiskEnumerator::judgeUse(const QString& name) const {
    const Context context = loadContext();
    const auto raw = readRaw(name, context);
    if (!raw)
        return {false, QStringLiteral("not present"), UnlistedReason::NotFound};
    if (!context.use.known)
        return {false, QStringLiteral("mount table unreadable"), UnlistedReason::Unreadable};
    if (const QString use = systemUse(*raw, context); !use.isEmpty())
        return {false, use, UnlistedReason::SystemDisk};
    if (const QString pool = poolInUse(describe(*raw, context)); !pool.isEmpty())
        return {false, pool, UnlistedReason::SystemDisk};
    return {true, QStringLiteral("not in use by the system")};
}

BlockDiskEnumerator::Verdict BlockDiskEnumerator::judge(const QString& name) const {
    const Context context = loadContext();
    const auto raw = readRaw(name, context);
    if (!raw)
        return {false, QStringLiteral("not present"), UnlistedReason::NotFound};
    return judge(*raw, context);
}

std::optional<std::vector<DiskInfo>> BlockDiskEnumerator::enumerate() const {
    std::vector<DiskInfo> disks;
    const Context context = loadContext();
    // Without the mount table nobody can tell which disk holds the system.
    if (!context.use.known)
        return std::nullopt;
    const auto names = directoryEntries(paths_.sysfsRoot + QStringLiteral("/block"));
    if (!names)
        return std::nullopt;
    for (const QByteArray& entry : *names) {
        const QString name = QFile::decodeName(entry);
        const auto raw = readRaw(name, context);
        if (!raw || !judge(*raw, context).listed)
            continue;
        DiskInfo disk = describe(*raw, context);
        if (!poolInUse(disk).isEmpty())
            continue;
        disks.push_back(std::move(disk));
    }
    return disks;
}

} // namespace kestrune::platform::linux_impl
