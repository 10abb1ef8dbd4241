// Finding, checking and opening the one disk a job may write, and the job around it.
#pragma once

#include "shredengine/BlockDevice.h"
#include "shredengine/ShredJob.h"

#include <kestrune/disk_numbers.h>

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace kestrune::engine {

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
    friend int32_t openDiskForWriting(const KestruneDiskIdentity&, const DiskAccessOptions&, bool,
                                      std::unique_ptr<OpenDisk>&);
    OpenDisk() = default;
    std::unique_ptr<FdBlockDevice> device_;
    std::string path_;
    int lockFd_ = -1;
};

// Checks the disk in the order that keeps other disks safe (identity, removable, read-only),
// unmounts its volumes and opens it exclusively. Returns 0 or a status: -4 gone or not the
// disk it was, -5 read-only, -6 no permission, -9 busy.
int32_t openDiskForWriting(const KestruneDiskIdentity& identity, const DiskAccessOptions& options,
                           bool directIo, std::unique_ptr<OpenDisk>& disk);

// Unmounts every mounted volume of the disk; 0 or a status (-9 busy, -6 not allowed).
int32_t unmountDisk(const KestruneDiskIdentity& identity, const DiskAccessOptions& options);

// A whole job on an identified disk; returns the job's final status.
int32_t shredDisk(const KestruneDiskIdentity& identity, int32_t deviceNumber, int32_t algorithm,
                  ShredStatusCallback callback, void* context, const unsigned char* abortFlag,
                  const DiskAccessOptions& options = {}, const JobOptions& jobOptions = {});

// The same for a disk number of the shared pool (-4 when the number is not in use), written
// through the descriptor handed over for the number when there is one.
int32_t shredDiskNumber(uint32_t deviceNumber, int32_t algorithm, ShredStatusCallback callback,
                        void* context, const unsigned char* abortFlag,
                        const DiskAccessOptions& options = {}, const JobOptions& jobOptions = {});

} // namespace kestrune::engine
