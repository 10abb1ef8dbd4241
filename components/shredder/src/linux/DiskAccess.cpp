#include "shredengine/DiskAccess.h"

#include "shredengine/DiskJob.h"

#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <linux/fs.h>

namespace kestrune::engine {

int32_t statusOf(blockio::DiskAccess access) {
    switch (access) {
    case blockio::DiskAccess::Granted:
        return 0;
    case blockio::DiskAccess::Gone:
    case blockio::DiskAccess::NotAllowed:
        return SHRED_STATUS_FAILED_MEDIA;
    case blockio::DiskAccess::NoPermission:
        return SHRED_STATUS_FAILED_PERMISSION;
    case blockio::DiskAccess::WriteProtected:
        return SHRED_STATUS_FAILED_WRITE_PROTECTED;
    case blockio::DiskAccess::Busy:
        return SHRED_STATUS_FAILED_BUSY;
    case blockio::DiskAccess::Held:
        return SHRED_STATUS_FAILED_HELD;
    case blockio::DiskAccess::SystemDisk:
        return SHRED_STATUS_FAILED_SYSTEM_DISK;
    }
    return SHRED_STATUS_FAILED_MEDIA;
}

namespace {

// The opened disk, watched during the job for what may become of it.
class LinuxJobDisk final : public JobDisk {
public:
    LinuxJobDisk(blockio::OpenDisk& disk, const KestruneDiskIdentity& identity, bool byPath)
        : disk_(disk), identity_(identity), size_(disk.device().size()), byPath_(byPath) {}

    BlockDevice& device() override { return disk_.device(); }
    int32_t mediumCheck() override {
        blockio::FdBlockDevice& device = disk_.device();
        struct stat st {};
        const bool deleted =
            fstat(device.fd(), &st) == 0 && S_ISREG(st.st_mode) && st.st_nlink == 0;
        if (deleted || (byPath_ && !blockio::pathLeadsTo(identity_)) ||
            device.currentSize() < size_)
            return SHRED_STATUS_FAILED_MEDIA;
        if (device.isBlockDevice()) {
            int ro = 0;
            if (ioctl(device.fd(), BLKROGET, &ro) == 0 && ro != 0)
                return SHRED_STATUS_FAILED_WRITE_PROTECTED;
        }
        return 0;
    }
    // The kernel's view of the partitions must match the medium.
    void jobEnded() override { disk_.rereadPartitions(); }

private:
    blockio::OpenDisk& disk_;
    const KestruneDiskIdentity& identity_;
    uint64_t size_;
    bool byPath_;
};

} // namespace

int32_t shredDisk(const KestruneDiskIdentity& identity, int32_t deviceNumber, int32_t algorithm,
                  ShredStatusCallback callback, void* context, const unsigned char* abortFlag,
                  const blockio::DiskAccessOptions& options, const JobOptions& jobOptions) {
    std::vector<Pass> plan;
    if (!passPlan(algorithm, plan))
        return ENGINE_STATUS_BAD_REQUEST;
    std::unique_ptr<blockio::OpenDisk> disk;
    if (int32_t status = statusOf(blockio::openDiskForWriting(identity, options, true, disk)))
        return status;
    // A disk handed over by the disk service may have a path we have no right to open.
    LinuxJobDisk job(*disk, identity, options.descriptor < 0);
    return runDiskJob(job, plan, deviceNumber, callback, context, abortFlag, jobOptions);
}

int32_t shredDiskNumber(uint32_t deviceNumber, int32_t algorithm, ShredStatusCallback callback,
                        void* context, const unsigned char* abortFlag,
                        const blockio::DiskAccessOptions& options, const JobOptions& jobOptions) {
    std::vector<Pass> plan;
    if (!passPlan(algorithm, plan))
        return ENGINE_STATUS_BAD_REQUEST;
    KestruneDiskIdentity identity{};
    if (!kestrune_disk_number_resolve(deviceNumber, &identity))
        return SHRED_STATUS_FAILED_MEDIA;
    identity.path[sizeof identity.path - 1] = '\0';
    blockio::DiskAccessOptions access = options;
    const int handed = kestrune_disk_number_take(deviceNumber);
    if (handed >= 0)
        access.descriptor = handed;
    const int32_t status = shredDisk(identity, static_cast<int32_t>(deviceNumber), algorithm,
                                     callback, context, abortFlag, access, jobOptions);
    if (handed >= 0)
        close(handed);
    return status;
}

int32_t shredListedDisk(uint32_t /*driveLetter*/, uint32_t deviceNumber, int32_t algorithm,
                        ShredStatusCallback callback, void* context,
                        const unsigned char* abortFlag) {
    // The drive letter is 0 here: the number alone names the disk.
    return shredDiskNumber(deviceNumber, algorithm, callback, context, abortFlag,
                           blockio::DiskAccessOptions{});
}

} // namespace kestrune::engine
