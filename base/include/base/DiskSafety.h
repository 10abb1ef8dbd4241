// The one rule that keeps disks out of reach: the program's list leaves out every disk it
// forbids, and the engine refuses to write one, both by what is decided here.
#pragma once

#include <set>
#include <string>
#include <sys/types.h>
#include <vector>

namespace kestrune::platform {

// Kinds of block device that are never listed and never written, by kernel name: loop
// devices, RAM disks, device-mapper and RAID sets, optical drives, network block devices,
// ZFS volumes, floppy drives and the boot and RPMB areas of an eMMC. A device below
// /devices/virtual/ in sysfs is none either.
bool isNeverWrittenName(const std::string& kernelName);
bool isNeverWritten(const std::string& kernelName, const std::string& sysfsDevice);

// The USB device a block device belongs to: the nearest folder above its sysfs folder
// (resolved, below devicesRoot) whose subsystem is "usb" and that has an idVendor. Empty
// when there is none.
std::string usbDeviceAbove(const std::string& sysfsDevice, const std::string& devicesRoot);

// Removable media: a disk below a USB device, an SD card, or one the kernel flags removable.
bool isRemovableMedium(bool removableFlag, const std::string& mmcType,
                       const std::string& usbDevice);

// A mount point where the running system keeps what it needs: the root, the system's own
// trees, the places live systems mount their boot medium. A user's mounts (below /media,
// /run/media, /mnt, a home folder, /tmp) are not.
bool isSystemMountTarget(const std::string& target);

struct MountEntry {
    dev_t devno = 0;
    std::string source;
    std::string target;
    std::string fsType;
    std::string superOptions;
};

// The mount table in mountinfo form; readable is false when it could not be read.
std::vector<MountEntry> readMountTable(const std::string& mountinfo, bool& readable);

// The devices behind system mounts: those mounted at a system place, the file systems that
// hold the layers of an overlay mounted at one, and, for each loop device among them, the
// device that holds its backing file, followed until nothing new is found.
std::set<dev_t> systemDevices(const std::vector<MountEntry>& mounts, const std::string& sysfsRoot);

// Where the system's tables are (tests give trees of their own).
struct SystemPaths {
    std::string mountinfo = "/proc/self/mountinfo";
    std::string swaps = "/proc/swaps";
    std::string sysfsRoot = "/sys";
    std::string devRoot = "/dev";
};

// What the running system depends on: the devices behind its mounts (systemDevices), the
// devices named as the source of a system mount, swap partitions, and the file systems that
// hold a swap file.
struct SystemUse {
    struct Mount {
        dev_t devno = 0;
        std::string sourceName; // kernel name of the source device, if it is one
        std::string target;
    };
    bool known = false; // the mount table could be read: without it, every disk is in use
    std::vector<Mount> mounts;
    std::set<dev_t> devices;
    std::set<std::string> names; // kernel names

    bool uses(dev_t devt, const std::string& kernelName) const {
        return devices.count(devt) || names.count(kernelName);
    }
};
SystemUse readSystemUse(const SystemPaths& paths);

} // namespace kestrune::platform
