#pragma once

#include "platform/DiskEnumerator.h"

#include <optional>
#include <sys/types.h>

namespace kestrune::platform::linux_impl {

// Block disks from sysfs, with names from udev's database when it has them, mount points
// from mountinfo and labels from libblkid.
class BlockDiskEnumerator final : public DiskEnumerator {
public:
    explicit BlockDiskEnumerator(BlockSystemPaths paths);
    std::optional<std::vector<DiskInfo>> enumerate() const override;

    // One disk by its kernel name ("sdb"), whatever the removable rule says; nothing when
    // it is not there (or vanished while it was read).
    std::optional<DiskInfo> readDisk(const QString& name) const;

    // One disk by its kernel name, unless the running system uses it (holders, system
    // mounts, swap), whatever kind of device it is: simulated disks on loop devices.
    std::optional<DiskInfo> readDiskUnlessInUse(const QString& name) const;

    struct Verdict {
        bool listed = false;
        QString reason; // why a disk is left out, for diagnostics
        UnlistedReason why = UnlistedReason::Listable;
    };
    // The removable rule and every exclusion, for one disk by its kernel name.
    Verdict judge(const QString& name) const;
    // Only whether the running system uses the disk (holders, system mounts, swap, pools),
    // whatever kind of device it is.
    Verdict judgeUse(const QString& name) const;

private:
    struct Context;
    struct RawDisk;
    std::optional<RawDisk> readRaw(const QString& name, const Context& context) const;
    Context loadContext() const;
    Verdict judge(const RawDisk& disk, const Context& context) const;
    // Why the system cannot spare the disk; empty when it can.
    QString systemUse(const RawDisk& disk, const Context& context) const;
    // The pool (multi-device btrfs, bcachefs, ZFS) in use that a volume belongs to.
    QString poolInUse(const DiskInfo& disk) const;
    DiskInfo describe(const RawDisk& disk, const Context& context) const;
    void describeHardware(const RawDisk& disk, DiskInfo& info) const;
    VolumeInfo describeVolume(const QString& name, dev_t devt, const Context& context,
                              bool hasMedium) const;
    void describeVolumes(const RawDisk& disk, const Context& context, DiskInfo& info) const;

    BlockSystemPaths paths_;
};

} // namespace kestrune::platform::linux_impl
