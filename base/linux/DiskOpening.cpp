#include "base/DiskOpening.h"

#include "base/DiskSafety.h"
#include "base/InvokingUser.h"
#include "base/TrustedPath.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <libmount.h>
#include <linux/fs.h>
#include <set>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <thread>
#include <unistd.h>

#ifndef BLKGETDISKSEQ
#define BLKGETDISKSEQ _IOR(0x12, 128, __u64)
#endif

namespace kestrune::blockio {

namespace {

using Clock = std::chrono::steady_clock;

bool readLine(const std::string& path, std::string& out) {
    std::ifstream in(path);
    if (!in || !std::getline(in, out))
        return false;
    while (!out.empty() && (out.back() == '\n' || out.back() == ' ' || out.back() == '\r'))
        out.pop_back();
    return true;
}

bool parseDevt(const std::string& text, dev_t& devt) {
    unsigned major = 0, minor = 0;
    if (std::sscanf(text.c_str(), "%u:%u", &major, &minor) != 2)
        return false;
    devt = makedev(major, minor);
    return true;
}

bool startsWith(const std::string& s, const char* prefix) {
    return s.rfind(prefix, 0) == 0;
}

bool sameFile(const struct stat& st, const KestruneDiskIdentity& id) {
    // An image with a second name elsewhere (a hard link) may be anyone's file: never a disk.
    if (id.simulated)
        return S_ISREG(st.st_mode) && st.st_nlink == 1 &&
               static_cast<uint64_t>(st.st_dev) == id.devt &&
               static_cast<uint64_t>(st.st_ino) == id.diskseq;
    return S_ISBLK(st.st_mode) && static_cast<uint64_t>(st.st_rdev) == id.devt;
}

// The file lies directly in folder (both resolved), as the images of simulated disks do.
bool isInFolder(const std::string& file, const std::string& folder) {
    char resolvedFile[PATH_MAX];
    char resolvedFolder[PATH_MAX];
    if (folder.empty() || !realpath(file.c_str(), resolvedFile) ||
        !realpath(folder.c_str(), resolvedFolder))
        return false;
    const std::string path(resolvedFile);
    const size_t slash = path.rfind('/');
    return slash != std::string::npos && path.substr(0, slash) == resolvedFolder;
}

bool isSimulatedLoop(const DiskFacts& facts, const DiskAccessOptions& options) {
    return options.simulatedFolder && startsWith(facts.name, "loop") &&
           simulatedImageOfLoop(facts.sysfsDir, *options.simulatedFolder).has_value();
}

DiskAccess openFailure(int error) {
    switch (error) {
    case EACCES:
        return DiskAccess::NoPermission;
    case EPERM:
        // Rights are never what stops the administrator: the file is immutable or sealed.
        return geteuid() == 0 ? DiskAccess::WriteProtected : DiskAccess::NoPermission;
    case EROFS:
        return DiskAccess::WriteProtected;
    case EBUSY:
        return DiskAccess::Held; // another program opened it exclusively
    default:
        return DiskAccess::Gone;
    }
}

// An image that even its owner may not change (chattr +i or +a).
bool imageIsImmutable(const char* path) {
    const int fd = open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
        return false;
    int flags = 0;
    const bool immutable =
        ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0 && (flags & (FS_IMMUTABLE_FL | FS_APPEND_FL)) != 0;
    close(fd);
    return immutable;
}

std::vector<dev_t> diskDevices(const KestruneDiskIdentity& id, const DiskAccessOptions& options) {
    std::vector<dev_t> devices{static_cast<dev_t>(id.devt)};
    DiskFacts facts = readDiskFacts(options.sysfsRoot, static_cast<dev_t>(id.devt));
    devices.insert(devices.end(), facts.partitions.begin(), facts.partitions.end());
    return devices;
}

std::vector<std::string> mountedTargets(const std::vector<dev_t>& devices,
                                        const std::string& mountInfo, bool& readable) {
    std::vector<std::string> targets;
    readable = false;
    libmnt_table* table = mnt_new_table_from_file(mountInfo.c_str());
    if (!table)
        return targets;
    readable = true;
    libmnt_iter* iter = mnt_new_iter(MNT_ITER_BACKWARD); // innermost mounts first
    libmnt_fs* fs = nullptr;
    while (iter && mnt_table_next_fs(table, iter, &fs) == 0) {
        dev_t devno = mnt_fs_get_devno(fs);
        const char* target = mnt_fs_get_target(fs);
        if (devno != 0 && target &&
            std::find(devices.begin(), devices.end(), devno) != devices.end())
            targets.emplace_back(target);
    }
    mnt_free_iter(iter);
    mnt_unref_table(table);
    return targets;
}

// Checks what can be checked before the disk is opened.
DiskAccess checkBeforeOpen(const KestruneDiskIdentity& id, const DiskAccessOptions& options) {
    struct stat st {};
    if (stat(id.path, &st) != 0 || !sameFile(st, id))
        return DiskAccess::Gone;
    if (id.simulated) {
        if (options.requireRemovable && options.simulatedFolder &&
            !isInFolder(id.path, *options.simulatedFolder))
            return DiskAccess::NotAllowed;
        if (!platform::InvokingUserMayWrite(id.path))
            return DiskAccess::NoPermission;
        if (imageIsImmutable(id.path))
            return DiskAccess::WriteProtected;
        if (access(id.path, W_OK) != 0)
            return openFailure(errno);
        return DiskAccess::Granted;
    }
    DiskFacts facts = readDiskFacts(options.sysfsRoot, static_cast<dev_t>(id.devt));
    if (!facts.exists)
        return DiskAccess::Gone;
    if (facts.isPartition)
        return DiskAccess::NotAllowed;
    if (facts.hasDiskseq ? facts.diskseq != id.diskseq : id.diskseq != 0)
        return DiskAccess::Gone; // another medium now sits on this node
    if (options.requireRemovable) {
        // With simulated disks, no real disk is ever written, however removable.
        const bool allowed =
            options.simulatedFolder ? isSimulatedLoop(facts, options) : facts.removable;
        if (!allowed)
            return DiskAccess::NotAllowed;
    }
    if (facts.hasHolders)
        return DiskAccess::Held; // a device mapper or RAID set is built on it
    // The list left such disks out, but the system may have come to depend on this one since.
    platform::SystemPaths paths;
    paths.mountinfo = options.mountInfo;
    paths.swaps = options.swaps;
    paths.sysfsRoot = options.sysfsRoot;
    const platform::SystemUse system = platform::readSystemUse(paths);
    if (!system.known)
        return DiskAccess::Busy;
    if (system.uses(static_cast<dev_t>(id.devt), facts.name))
        return DiskAccess::SystemDisk;
    for (std::size_t i = 0; i < facts.partitions.size(); ++i)
        if (system.uses(facts.partitions[i], facts.partitionNames[i]))
            return DiskAccess::SystemDisk;
    if (facts.readOnly)
        return DiskAccess::WriteProtected;
    if (options.descriptor >= 0)
        return DiskAccess::Granted; // the descriptor's own read-only flag is checked once the disk
                                    // is open
    int fd = open(id.path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
        return openFailure(errno);
    int ro = 0;
    bool readOnly = ioctl(fd, BLKROGET, &ro) == 0 && ro != 0;
    close(fd);
    return readOnly ? DiskAccess::WriteProtected : DiskAccess::Granted;
}

// A duplicate of a descriptor that someone else opened, open for reading and writing, with
// O_DIRECT set as asked where the file allows it (direct is cleared where it does not). The
// flags belong to the open file the descriptors share. -errno on failure, -EACCES when the
// descriptor was not opened for writing.
int duplicateForWriting(int descriptor, bool& direct) {
    const int flags = fcntl(descriptor, F_GETFL);
    if (flags < 0)
        return -errno;
    if ((flags & O_ACCMODE) != O_RDWR)
        return -EACCES;
    const int wanted = direct ? (flags | O_DIRECT) : (flags & ~O_DIRECT);
    if (wanted != flags && fcntl(descriptor, F_SETFL, wanted) != 0) {
        if (!direct || errno != EINVAL)
            return -errno;
        direct = false; // a file system without direct I/O
    }
    direct = (fcntl(descriptor, F_GETFL) & O_DIRECT) != 0;
    const int fd = fcntl(descriptor, F_DUPFD_CLOEXEC, 0);
    return fd < 0 ? -errno : fd;
}

// The descriptor still names the disk of the identity: a different medium on the same
// node is never written.
bool identityHolds(int fd, const KestruneDiskIdentity& id) {
    struct stat st {};
    if (fstat(fd, &st) != 0 || !sameFile(st, id))
        return false;
    if (id.simulated)
        return true;
    uint64_t seq = 0;
    if (ioctl(fd, BLKGETDISKSEQ, &seq) != 0)
        return errno == ENOTTY && id.diskseq == 0;
    return seq == id.diskseq;
}

} // namespace

const char* describe(DiskAccess access) {
    switch (access) {
    case DiskAccess::Granted:
        return "may be written";
    case DiskAccess::Gone:
        return "is gone, holds another medium or fails to open";
    case DiskAccess::NotAllowed:
        return "is not a disk that may be written";
    case DiskAccess::NoPermission:
        return "may not be written with these rights";
    case DiskAccess::WriteProtected:
        return "is write-protected";
    case DiskAccess::Busy:
        return "has a volume that stays mounted";
    case DiskAccess::Held:
        return "is held by another program or device";
    case DiskAccess::SystemDisk:
        return "is used by the running system";
    }
    return "is in an unknown state";
}

bool pathLeadsTo(const KestruneDiskIdentity& id) {
    const int fd = open(id.path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
        return false;
    const bool holds = identityHolds(fd, id);
    close(fd);
    return holds;
}

std::optional<std::string> simulatedFolderFromEnvironment() {
    const platform::EnvironmentPath folder =
        platform::TrustedEnvironmentPath("KESTRUNE_SIMULATED_DISKS");
    if (!folder.set)
        return std::nullopt;
    // A folder that may not be used: no image is in it and no real disk may be written.
    if (!folder.refusal.empty())
        return std::string();
    return folder.value;
}

std::optional<std::string> simulatedImageOfLoop(const std::string& sysfsDir,
                                                const std::string& folder) {
    std::string backing, offset, sizelimit;
    if (folder.empty() || !readLine(sysfsDir + "/loop/backing_file", backing) ||
        !readLine(sysfsDir + "/loop/offset", offset) || offset != "0" ||
        !readLine(sysfsDir + "/loop/sizelimit", sizelimit) || sizelimit != "0")
        return std::nullopt;
    char image[PATH_MAX];
    // A deleted backing file reads "... (deleted)" and resolves to nothing.
    if (!realpath(backing.c_str(), image) || !isInFolder(image, folder))
        return std::nullopt;
    const std::string path(image);
    struct stat st {};
    if (path.size() < 5 || path.compare(path.size() - 4, 4, ".img") != 0 ||
        lstat(image, &st) != 0 || !S_ISREG(st.st_mode) || st.st_nlink != 1 ||
        !platform::InvokingUserMayWrite(path))
        return std::nullopt;
    return path;
}

DiskFacts readDiskFacts(const std::string& sysfsRoot, dev_t devt) {
    DiskFacts facts;
    std::string link =
        sysfsRoot + "/dev/block/" + std::to_string(major(devt)) + ":" + std::to_string(minor(devt));
    char resolved[PATH_MAX];
    if (!realpath(link.c_str(), resolved))
        return facts;
    facts.exists = true;
    facts.sysfsDir = resolved;
    facts.name = facts.sysfsDir.substr(facts.sysfsDir.rfind('/') + 1);
    struct stat st {};
    facts.isPartition = stat((facts.sysfsDir + "/partition").c_str(), &st) == 0;

    std::string value;
    const bool removableFlag = readLine(facts.sysfsDir + "/removable", value) && value == "1";
    std::string mmcType;
    if (startsWith(facts.name, "mmcblk"))
        readLine(facts.sysfsDir + "/device/type", mmcType);
    char devicesRoot[PATH_MAX];
    const std::string usbDevice =
        realpath(sysfsRoot.c_str(), devicesRoot)
            ? platform::usbDeviceAbove(facts.sysfsDir, std::string(devicesRoot) + "/devices")
            : std::string();
    facts.removable = !platform::isNeverWritten(facts.name, facts.sysfsDir) &&
                      platform::isRemovableMedium(removableFlag, mmcType, usbDevice);
    facts.readOnly = readLine(facts.sysfsDir + "/ro", value) && value == "1";
    if (readLine(facts.sysfsDir + "/diskseq", value)) {
        facts.hasDiskseq = true;
        facts.diskseq = std::strtoull(value.c_str(), nullptr, 10);
    }

    if (DIR* holders = opendir((facts.sysfsDir + "/holders").c_str())) {
        while (dirent* entry = readdir(holders)) {
            if (entry->d_name[0] != '.')
                facts.hasHolders = true;
        }
        closedir(holders);
    }
    if (DIR* dir = opendir(facts.sysfsDir.c_str())) {
        while (dirent* entry = readdir(dir)) {
            if (entry->d_name[0] == '.')
                continue;
            std::string child = facts.sysfsDir + "/" + entry->d_name;
            dev_t part = 0;
            if (stat((child + "/partition").c_str(), &st) == 0 && readLine(child + "/dev", value) &&
                parseDevt(value, part)) {
                facts.partitions.push_back(part);
                facts.partitionNames.push_back(entry->d_name);
            }
        }
        closedir(dir);
    }
    return facts;
}

DiskAccess unmountDisk(const KestruneDiskIdentity& id, const DiskAccessOptions& options) {
    if (id.simulated)
        return DiskAccess::Granted;
    std::vector<dev_t> devices = diskDevices(id, options);
    bool readable = false;
    for (const std::string& target : mountedTargets(devices, options.mountInfo, readable)) {
        if (umount2(target.c_str(), UMOUNT_NOFOLLOW) != 0 && errno != EINVAL && errno != ENOENT)
            return errno == EPERM || errno == EACCES ? DiskAccess::NoPermission : DiskAccess::Busy;
    }
    if (!mountedTargets(devices, options.mountInfo, readable).empty())
        return DiskAccess::Busy;
    return readable ? DiskAccess::Granted : DiskAccess::Busy;
}

OpenDisk::~OpenDisk() {
    device_.reset();
    if (lockFd_ >= 0)
        close(lockFd_);
}

int OpenDisk::rereadPartitions() {
    const int fd = device_ ? device_->fd() : lockFd_;
    struct stat st {};
    if (fd < 0 || fstat(fd, &st) != 0 || !S_ISBLK(st.st_mode))
        return 0;
    return ioctl(fd, BLKRRPART) == 0 ? 0 : errno;
}

DiskAccess openDiskForWriting(const KestruneDiskIdentity& id, const DiskAccessOptions& options,
                              bool directIo, std::unique_ptr<OpenDisk>& disk) {
    disk.reset();
    if (const DiskAccess access = checkBeforeOpen(id, options); access != DiskAccess::Granted)
        return access;
    if (const DiskAccess access = unmountDisk(id, options); access != DiskAccess::Granted)
        return access;

    const int exclusive = id.simulated ? 0 : O_EXCL;
    const auto deadline = Clock::now() + options.lockWait;
    int fd = -1;
    bool direct = directIo;
    if (options.descriptor >= 0) {
        fd = duplicateForWriting(options.descriptor, direct);
        if (fd < 0)
            return fd == -EBADF ? DiskAccess::Gone : DiskAccess::NoPermission;
    }
    while (fd < 0) {
        fd = open(id.path, O_RDWR | O_CLOEXEC | exclusive | (direct ? O_DIRECT : 0));
        if (fd >= 0)
            break;
        if (errno == EINVAL && direct) {
            direct = false; // e.g. a file on tmpfs
            continue;
        }
        // udev may still be probing the partitions we just unmounted
        if (errno == EBUSY && Clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            continue;
        }
        return openFailure(errno);
    }
    if (!identityHolds(fd, id)) {
        close(fd);
        return DiskAccess::Gone;
    }
    int error = 0;
    std::unique_ptr<FdBlockDevice> device = FdBlockDevice::adopt(fd, direct, &error);
    if (!device)
        return DiskAccess::Gone;
    if (device->readOnly())
        return DiskAccess::WriteProtected;

    // Without the right to open the path, the lock goes on the descriptor we were given.
    int lockFd = options.descriptor >= 0 ? fcntl(options.descriptor, F_DUPFD_CLOEXEC, 0)
                                         : open(id.path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (lockFd < 0)
        return openFailure(errno);
    if (!identityHolds(lockFd, id)) {
        close(lockFd);
        return DiskAccess::Gone;
    }
    while (flock(lockFd, LOCK_EX | LOCK_NB) != 0) {
        if ((errno != EWOULDBLOCK && errno != EINTR) || Clock::now() >= deadline) {
            close(lockFd);
            return DiskAccess::Held; // e.g. another instance shredding it
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }

    disk.reset(new OpenDisk());
    disk->device_ = std::move(device);
    disk->path_ = id.path;
    disk->lockFd_ = lockFd;
    return DiskAccess::Granted;
}

} // namespace kestrune::blockio
