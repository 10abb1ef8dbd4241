#include "platform/DiskFormatter.h"

#include "shredengine/DiskAccess.h"

#include <QDir>
#include <QElapsedTimer>
#include <QProcess>
#include <QStandardPaths>
#include <QStringList>
#include <QTemporaryFile>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <libfdisk.h>
#include <linux/hdreg.h>
#include <memory>
#include <sys/ioctl.h>
#include <unistd.h>

namespace kestrune::platform {

namespace {

constexpr uint64_t kFat32From = 512ull << 20;
constexpr uint64_t kFat12Below = 8ull << 20;

// A window onto part of a disk, so the zeroing pass covers just the partition.
class RangeDevice final : public engine::BlockDevice {
public:
    RangeDevice(engine::BlockDevice& disk, uint64_t offset, uint64_t length)
        : disk_(disk), offset_(offset), length_(length) {}
    uint64_t size() const override { return length_; }
    size_t alignment() const override { return disk_.alignment(); }
    bool readOnly() const override { return disk_.readOnly(); }
    bool direct() const override { return disk_.direct(); }
    int writeAt(const void* data, size_t length, uint64_t offset) override {
        if (offset > length_ || length > length_ - offset)
            return ENOSPC;
        return disk_.writeAt(data, length, offset_ + offset);
    }
    int readAt(void* data, size_t length, uint64_t offset) override {
        if (offset > length_ || length > length_ - offset)
            return EIO;
        return disk_.readAt(data, length, offset_ + offset);
    }
    int sync() override { return disk_.sync(); }

private:
    engine::BlockDevice& disk_;
    uint64_t offset_;
    uint64_t length_;
};

struct Partition {
    uint64_t start = 0; // in sectors
    uint64_t sectors = 0;
    uint64_t sectorSize = 512;
};

// libfdisk works on a duplicate of the job's descriptor and never closes a descriptor it
// was handed, so the duplicate is closed here: left open, it would keep the exclusive open
// of the disk alive after the job let it go, and mkfs.fat would find the disk busy.
struct FdiskContext {
    fdisk_context* cxt = fdisk_new_context();
    int fd = -1;
    ~FdiskContext() {
        if (cxt) {
            if (fd >= 0)
                fdisk_deassign_device(cxt, 1);
            fdisk_unref_context(cxt);
        }
        if (fd >= 0)
            close(fd);
    }
};

// One MBR partition over the whole disk; type 0x0e below 512 MiB, else 0x0c.
QString writePartitionTable(int fd, const char* path, uint64_t bytes, Partition& out) {
    FdiskContext fdisk;
    if (!fdisk.cxt)
        return QStringLiteral("no memory for the partition table");
    fdisk.fd = fcntl(fd, F_DUPFD_CLOEXEC, 0);
    if (fdisk.fd < 0 || fdisk_assign_device_by_fd(fdisk.cxt, fdisk.fd, path, 0) != 0)
        return QStringLiteral("cannot read the disk's geometry");
    if (fdisk_create_disklabel(fdisk.cxt, "dos") != 0)
        return QStringLiteral("cannot create an MBR");
    fdisk_label* label = fdisk_get_label(fdisk.cxt, nullptr);
    fdisk_parttype* type =
        fdisk_label_get_parttype_from_code(label, bytes < kFat32From ? 0x0e : 0x0c);
    fdisk_partition* wanted = fdisk_new_partition();
    fdisk_partition_set_partno(wanted, 0);
    fdisk_partition_set_start(wanted, fdisk_get_first_lba(fdisk.cxt));
    fdisk_partition_end_follow_default(wanted, 1);
    fdisk_partition_set_type(wanted, type);
    int rc = fdisk_add_partition(fdisk.cxt, wanted, nullptr);
    fdisk_unref_partition(wanted);
    if (rc != 0)
        return QStringLiteral("the disk is too small for a partition");
    if (fdisk_write_disklabel(fdisk.cxt) != 0)
        return QStringLiteral("cannot write the partition table: %1").arg(strerror(errno));
    fdisk_partition* written = nullptr;
    if (fdisk_get_partition(fdisk.cxt, 0, &written) != 0)
        return QStringLiteral("the new partition cannot be read back");
    out.start = fdisk_partition_get_start(written);
    out.sectors = fdisk_partition_get_size(written);
    out.sectorSize = fdisk_get_sector_size(fdisk.cxt);
    fdisk_unref_partition(written);
    return {};
}

QString findMkfs() {
    QString found = QStandardPaths::findExecutable(QStringLiteral("mkfs.fat"));
    if (found.isEmpty())
        found = QStandardPaths::findExecutable(
            QStringLiteral("mkfs.fat"), {QStringLiteral("/usr/sbin"), QStringLiteral("/sbin"),
                                         QStringLiteral("/usr/local/sbin")});
    return found;
}

bool abortRequested(const unsigned char* flag) {
    return flag && __atomic_load_n(flag, __ATOMIC_ACQUIRE) != 0;
}

constexpr auto kAbortedMkfs = "aborted";

// The disk's heads and sectors per track, which mkfs.fat reads itself from a disk but not
// from the file it writes here; empty where the disk has no geometry (loop devices).
QString geometryOf(int fd) {
    hd_geometry geometry{};
    if (ioctl(fd, HDIO_GETGEO, &geometry) != 0 || geometry.heads == 0 || geometry.sectors == 0)
        return {};
    return QStringLiteral("%1/%2").arg(geometry.heads).arg(geometry.sectors);
}

// Runs mkfs.fat on a file the size of the partition, as it would run on the partition
// itself: the job's descriptor is the only way onto the disk, so the file system is built
// beside it and copied in. Empty on success.
QString runMkfs(const QString& program, const QString& image, const Partition& part,
                const QString& geometry, const QString& label, const unsigned char* abortFlag) {
    const uint64_t bytes = part.sectors * part.sectorSize;
    QStringList args{QStringLiteral("-I"), QStringLiteral("-S"), QString::number(part.sectorSize)};
    if (bytes >= kFat32From)
        args << QStringLiteral("-F") << QStringLiteral("32");
    else if (bytes >= kFat12Below)
        args << QStringLiteral("-F") << QStringLiteral("16");
    args << QStringLiteral("-h") << QString::number(part.start);
    if (!geometry.isEmpty())
        args << QStringLiteral("-g") << geometry;
    if (!label.isEmpty())
        args << QStringLiteral("-n") << label;
    args << image << QString::number(bytes / 1024);
    QProcess mkfs;
    mkfs.setProcessChannelMode(QProcess::MergedChannels);
    mkfs.start(program, args);
    if (!mkfs.waitForStarted())
        return QStringLiteral("mkfs.fat cannot be started: %1").arg(mkfs.errorString());
    QElapsedTimer running;
    running.start();
    while (!mkfs.waitForFinished(100)) {
        const bool aborted = abortRequested(abortFlag);
        if (aborted || running.elapsed() > 30 * 60 * 1000) {
            mkfs.kill();
            mkfs.waitForFinished();
            return aborted ? QString::fromLatin1(kAbortedMkfs)
                           : QStringLiteral("mkfs.fat did not finish");
        }
    }
    if (mkfs.exitStatus() != QProcess::NormalExit || mkfs.exitCode() != 0)
        return QString::fromLocal8Bit(mkfs.readAll()).trimmed();
    return {};
}

// Copies what mkfs.fat wrote into the (sparse) file onto the partition; the holes are
// zeros, which the partition already holds. 0 or an errno value.
int copyDataExtents(const QString& image, engine::BlockDevice& partition) {
    const int fd = open(QFile::encodeName(image).constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return errno;
    engine::AlignedBuffer buffer(1 << 20);
    int rc = buffer ? 0 : ENOMEM;
    off_t at = 0;
    while (rc == 0) {
        const off_t data = lseek(fd, at, SEEK_DATA);
        if (data < 0) {
            if (errno != ENXIO) // ENXIO: no data after this point
                rc = errno;
            break;
        }
        const off_t hole = lseek(fd, data, SEEK_HOLE);
        if (hole < 0) {
            rc = errno;
            break;
        }
        for (at = data; rc == 0 && at < hole;) {
            const auto length = static_cast<size_t>(std::min<off_t>(buffer.size(), hole - at));
            const ssize_t got = pread(fd, buffer.data(), length, at);
            if (got <= 0) {
                rc = got < 0 ? errno : EIO;
                break;
            }
            rc = partition.writeAt(buffer.data(), static_cast<size_t>(got),
                                   static_cast<uint64_t>(at));
            at += got;
        }
    }
    close(fd);
    return rc;
}

// Builds the file system in a temporary file and copies it onto the partition. Empty on
// success; "aborted" when the abort flag stopped it.
QString makeFileSystem(const QString& program, engine::BlockDevice& partition, int diskFd,
                       const Partition& part, const QString& label,
                       const unsigned char* abortFlag) {
    QTemporaryFile image(QDir::tempPath() + QStringLiteral("/kestrune-fat-XXXXXX"));
    if (!image.open() || !image.resize(static_cast<qint64>(part.sectors * part.sectorSize)))
        return QStringLiteral("no room for the file system's image: %1").arg(image.errorString());
    image.close();
    QString failure =
        runMkfs(program, image.fileName(), part, geometryOf(diskFd), label, abortFlag);
    if (!failure.isEmpty())
        return failure;
    if (abortRequested(abortFlag))
        return QString::fromLatin1(kAbortedMkfs);
    if (int rc = copyDataExtents(image.fileName(), partition))
        return QStringLiteral("cannot write the file system: %1").arg(strerror(rc));
    if (int rc = partition.sync())
        return QStringLiteral("cannot write the file system: %1").arg(strerror(rc));
    return {};
}

// Zeros outside the partition too (but not the MBR), so no old signature is left behind.
int zeroRange(engine::BlockDevice& device, uint64_t from, uint64_t to) {
    engine::AlignedBuffer zeros(1 << 20);
    if (!zeros)
        return ENOMEM;
    std::memset(zeros.data(), 0, zeros.size());
    while (from < to) {
        size_t length = static_cast<size_t>(std::min<uint64_t>(zeros.size(), to - from));
        if (int rc = device.writeAt(zeros.data(), length, from))
            return rc;
        from += length;
    }
    return 0;
}

class HookGuard {
public:
    HookGuard(const PartitioningHooks& hooks, const QString& path) : hooks_(hooks), path_(path) {
        if (hooks_.beforePartitioning)
            hooks_.beforePartitioning(path_);
    }
    ~HookGuard() {
        if (hooks_.afterPartitioning)
            hooks_.afterPartitioning(path_);
    }

private:
    const PartitioningHooks& hooks_;
    QString path_;
};

} // namespace

FormatOutcome formatWholeDisk(const FormatRequest& request, const PartitioningHooks& hooks) {
    FormatOutcome outcome;
    const QString mkfs = findMkfs();
    if (mkfs.isEmpty()) {
        outcome.failure = QStringLiteral("mkfs.fat is not installed");
        return outcome;
    }
    engine::DiskAccessOptions access;
    access.requireRemovable = request.requireRemovable;
    // The job's own descriptor when the disk service opened the disk for it.
    const int handed = request.deviceNumber >= 0
                           ? kestrune_disk_number_take(static_cast<uint32_t>(request.deviceNumber))
                           : -1;
    access.descriptor = handed;
    std::unique_ptr<engine::OpenDisk> disk;
    // Buffered: libfdisk's own I/O is not aligned for O_DIRECT.
    const int32_t opened = engine::openDiskForWriting(request.identity, access, false, disk);
    if (handed >= 0)
        close(handed);
    if (opened != 0) {
        outcome.failure = QStringLiteral("the disk cannot be opened (status %1)").arg(opened);
        return outcome;
    }
    const QString path = QString::fromLocal8Bit(request.identity.path);
    const uint64_t bytes = disk->device().size();

    HookGuard guard(hooks, path);
    Partition part;
    outcome.failure = writePartitionTable(disk->device().fd(), request.identity.path, bytes, part);
    if (!outcome.failure.isEmpty())
        return outcome;
    const uint64_t partStart = part.start * part.sectorSize;
    const uint64_t partEnd = partStart + part.sectors * part.sectorSize;
    int rc = zeroRange(disk->device(), part.sectorSize, partStart);
    if (rc == 0)
        rc = zeroRange(disk->device(), partEnd, bytes);
    if (rc == 0)
        rc = disk->device().sync();
    if (rc != 0) {
        outcome.failure = QStringLiteral("cannot write the partition table: %1").arg(strerror(rc));
        return outcome;
    }
    disk->rereadPartitions(); // the partition is written through the disk, so a refusal does not
                              // matter

    RangeDevice partition(disk->device(), part.start * part.sectorSize,
                          part.sectors * part.sectorSize);
    // 0..100 % of the zeroing as 301..399: 300 itself means the format has begun.
    engine::StatusCallbackSink sink(request.callback, request.context, request.deviceNumber,
                                    SHRED_STATUS_FORMATTING + 1, 98);
    engine::JobOptions zeroing;
    zeroing.verify = false;
    int32_t status =
        engine::runPasses(partition, {engine::patternPass(0x00)}, sink, request.abortFlag, zeroing);
    if (status == SHRED_STATUS_ABORTED) {
        outcome.aborted = true;
        outcome.failure = QStringLiteral("aborted while zeroing the partition");
        return outcome;
    }
    if (status != SHRED_STATUS_SHREDDED) {
        outcome.failure = QStringLiteral("zeroing the partition failed (status %1)").arg(status);
        return outcome;
    }

    const QString label = request.label.toUpper();
    const int diskFd = disk->device().fd();
    QString mkfsError = makeFileSystem(mkfs, partition, diskFd, part, label, request.abortFlag);
    if (!mkfsError.isEmpty() && mkfsError != QLatin1String(kAbortedMkfs) && !label.isEmpty()) {
        // Perhaps only the label was refused: format without it.
        outcome.failure = mkfsError;
        mkfsError = makeFileSystem(mkfs, partition, diskFd, part, QString(), request.abortFlag);
    } else {
        outcome.labelled = true;
    }
    // The kernel and udev see the new file system, not what they cached of the old disk.
    disk->rereadPartitions();
    if (mkfsError == QLatin1String(kAbortedMkfs)) {
        outcome.aborted = true;
        outcome.labelled = false;
        outcome.failure = QStringLiteral("aborted while making the file system");
        return outcome;
    }
    if (!mkfsError.isEmpty()) {
        outcome.failure = mkfsError;
        outcome.labelled = false;
        return outcome;
    }
    outcome.formatted = true;
    if (request.callback)
        request.callback(request.context, request.deviceNumber, SHRED_STATUS_FORMATTED, 0,
                         static_cast<int64_t>(bytes), 0.0);
    return outcome;
}

} // namespace kestrune::platform
