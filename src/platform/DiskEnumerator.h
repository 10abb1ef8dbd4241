#pragma once

#include "platform/MediumType.h"

#include <QByteArray>
#include <QString>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <vector>

namespace kestrune::platform {

// What makes a disk this disk and no other: a different stick on the same node has a
// different diskseq, a simulated disk is its image file's inode.
struct DiskIdentity {
    QString path;              // "/dev/sdb", or the image file of a simulated disk
    QByteArray nativePath;     // the path's own bytes when they are not valid UTF-8
    std::uint64_t devt = 0;    // block disk: st_rdev; simulated: st_dev of the image file
    std::uint64_t diskseq = 0; // 0 when the kernel has none; simulated: st_ino
    bool simulated = false;
};

// A partition, or the whole disk when it carries a file system directly.
struct VolumeInfo {
    QString name;       // "sdb1", or "stick1p1" inside an image
    QString devicePath; // "/dev/sdb1"; empty inside an image
    std::uint64_t devt = 0;
    QString label;      // empty when there is none or it cannot be read
    QString mountPoint; // first mount point, empty when not mounted
    QString fsType;
    QString fsUuid;
};

struct DiskInfo {
    DiskIdentity identity;
    QString name;   // "sdb"
    QString vendor; // cleaned, see cleanDeviceText
    QString product;
    QString serial;
    QString bus; // "USB", "SD", "MMC", "ATA", ...
    MediumType mediumType = MediumType::Disk;
    std::uint64_t sizeBytes = 0;
    bool hasMedium = false; // false for a card reader without a card (size 0)
    bool readOnly = false;
    std::vector<VolumeInfo> volumes;
    // The image file a simulated disk stands for, attached to a loop device or not; empty
    // for a real disk.
    QString imageFile;
};

// The removable disks that are present, in no particular order. Disks that vanish while
// they are read are left out.
class DiskEnumerator {
public:
    virtual ~DiskEnumerator() = default;
    // Nothing when the system could not be read (mount table, the disks' folder): that is
    // not the same as no disks, and must never make rows or jobs go.
    virtual std::optional<std::vector<DiskInfo>> enumerate() const = 0;
    // The disks, or none when the enumeration failed.
    std::vector<DiskInfo> removableDisks() const {
        return enumerate().value_or(std::vector<DiskInfo>{});
    }
};

// Where a block-device enumeration reads the system; tests point it at faked trees.
struct BlockSystemPaths {
    QString sysfsRoot = QStringLiteral("/sys");
    QString devRoot = QStringLiteral("/dev");
    QString mountinfo = QStringLiteral("/proc/self/mountinfo");
    QString swaps = QStringLiteral("/proc/swaps");
    QString procRoot = QStringLiteral("/proc");
    // The properties udev keeps of a block device (ID_VENDOR, ID_FS_TYPE, ...); empty when
    // it has none. Unset: udev's database through libudev. Tests of faked trees set it.
    std::function<std::map<QByteArray, QByteArray>(std::uint64_t devt)> udevProperties;
};

std::unique_ptr<DiskEnumerator> createBlockDiskEnumerator(const BlockSystemPaths& paths = {});
// Every regular *.img file in folder is a removable USB disk.
std::unique_ptr<DiskEnumerator> createSimulatedDiskEnumerator(const QString& folder);
// The simulated folder when KESTRUNE_SIMULATED_DISKS is set (then nothing else is ever
// listed, so a demo can never reach a real disk), else the system's block disks.
std::unique_ptr<DiskEnumerator> createDiskEnumerator();
QString simulatedDisksFolder();

// Why a path names none of the disks that the enumeration lists, in the terms of its rules.
enum class UnlistedReason {
    Listable,     // the rules list it: it came or changed since the disks were read
    NotFound,     // nothing is there
    NotADisk,     // neither a disk nor, with simulated disks, an image of their folder
    Partition,    // a partition: detail names its whole disk
    SystemDisk,   // the running system uses it (a system mount, swap, a holder, a pool)
    NotRemovable, // a fixed disk, or a kind that is never listed (loop, ram, optical, ...)
    NotSimulated, // simulated disks are listed instead of real ones: detail names their folder
    Unreadable,   // the system could not be read, so no disk is known to be safe
};
struct UnlistedDisk {
    UnlistedReason reason = UnlistedReason::NotFound;
    QString detail;
};
// For a device node, an image file or a link to either, as a user names a disk.
UnlistedDisk explainUnlistedDisk(const QString& path);

// Text read from a device, made safe to show: decoded as UTF-8, control characters and
// bidirectional overrides removed, padding trimmed.
QString cleanDeviceText(const QByteArray& raw);
// The same for a text already decoded (a mount point, a file name).
QString cleanDisplayText(const QString& text);

} // namespace kestrune::platform
