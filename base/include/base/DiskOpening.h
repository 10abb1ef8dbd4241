// Finding, checking and opening the one disk a job may write (Linux): the shred engine and
// the format open a disk through the same checks.
#pragma once

#include "base/FdBlockDevice.h"

#include <kestrune/disk_numbers.h>

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace kestrune::blockio {

// What decides whether a disk may be written now: Granted, or what stands in the way.
enum class DiskAccess {
    Granted,
    Gone,           // not there, another medium in its place, or it fails to open
    NotAllowed,     // not a disk this process may write (a partition, a fixed disk, a disk
                    // outside the simulated disks while they are in use)
    NoPermission,   // the invoking user or the process may not write it
    WriteProtected, // a switch, a read-only device, an immutable image
    Busy,           // a volume stays mounted, or what the system uses cannot be read
    Held,           // another program has it open or locked, or a device is built on it
    SystemDisk,     // the running system depends on it
};
// In a few words, for a trace.
const char* describe(DiskAccess access);

std::optional<std::string> simulatedFolderFromEnvironment();

struct DiskAccessOptions {
    // Only tests of the internal job (on loop devices) turn this off; the exported entry
    // always applies the full rule.
    bool requireRemovable = true;
    // The folder of simulated disks (KESTRUNE_SIMULATED_DISKS): then only its images and the
    // loop devices attached to them may be written, and nothing else.
    std::optional<std::string> simulatedFolder = simulatedFolderFromEnvironment();
    std::string sysfsRoot = "/sys";
    std::string mountInfo = "/proc/self/mountinfo";
    std::string swaps = "/proc/swaps";
    std::chrono::milliseconds lockWait{2000};
    // The disk as opened by someone allowed to (the disk service, for a process that may not
    // open it): the disk is then written through a duplicate of it, after the same checks,
    // instead of being opened. The caller keeps and closes its own descriptor.
    int descriptor = -1;
};

// What sysfs says about a whole disk.
struct DiskFacts {
    std::string sysfsDir; // resolved /sys/devices/.../block/<name>
    std::string name;
    bool exists = false;
    bool isPartition = false;
    bool removable = false; // removable media by the one disk-safety rule (base/DiskSafety.h)
    bool hasHolders = false;
    bool readOnly = false;
    bool hasDiskseq = false;
    uint64_t diskseq = 0;
    std::vector<dev_t> partitions;
    std::vector<std::string> partitionNames; // the kernel's, in the order of partitions
};
DiskFacts readDiskFacts(const std::string& sysfsRoot, dev_t devt);

// The image a loop device stands for as a simulated disk: the canonical path of the *.img
// file directly inside folder that it maps whole (no offset, no size limit). Nothing for
// any other device.
std::optional<std::string> simulatedImageOfLoop(const std::string& sysfsDir,
                                                const std::string& folder);

// The path still leads to the disk of the identity (same node, same medium).
bool pathLeadsTo(const KestruneDiskIdentity& identity);

// The disk opened for writing, with udev kept away from it until the object goes.
class OpenDisk {
public:
    ~OpenDisk();
    OpenDisk(const OpenDisk&) = delete;
    OpenDisk& operator=(const OpenDisk&) = delete;

    FdBlockDevice& device() { return *device_; }
    bool isBlockDevice() const { return device_->isBlockDevice(); }
    const std::string& path() const { return path_; }
    // Has the kernel read the partition table again (block devices only); 0 or errno.
    int rereadPartitions();

private:
    friend DiskAccess openDiskForWriting(const KestruneDiskIdentity&, const DiskAccessOptions&,
                                         bool, std::unique_ptr<OpenDisk>&);
    OpenDisk() = default;
    std::unique_ptr<FdBlockDevice> device_;
    std::string path_;
    int lockFd_ = -1;
};

// Checks the disk in the order that keeps other disks safe (identity, removable, read-only),
// unmounts its volumes and opens it exclusively.
DiskAccess openDiskForWriting(const KestruneDiskIdentity& identity,
                              const DiskAccessOptions& options, bool directIo,
                              std::unique_ptr<OpenDisk>& disk);

// Unmounts every mounted volume of the disk: Granted, Busy or NoPermission.
DiskAccess unmountDisk(const KestruneDiskIdentity& identity, const DiskAccessOptions& options);

} // namespace kestrune::blockio
