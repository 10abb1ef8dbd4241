#include "platform/DiskFormatter.h"

#include "shredengine/DiskAccess.h"

#include <QElapsedTimer>
#include <QProcess>
#include <QStandardPaths>
#include <QStringList>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <libfdisk.h>
#include <memory>
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

// Runs mkfs.fat on the partition's byte range of the whole disk (works for image files
// and disks alike, without waiting for a partition node). Empty on success.
QString runMkfs(const QString& program, const QString& path, const Partition& part,
                const QString& label, const unsigned char* abortFlag) {
    const uint64_t bytes = part.sectors * part.sectorSize;
    QStringList args{QStringLiteral("-I")};
    if (bytes >= kFat32From)
        args << QStringLiteral("-F") << QStringLiteral("32");
    else if (bytes >= kFat12Below)
        args << QStringLiteral("-F") << QStringLiteral("16");
    args << QStringLiteral("--offset") << QString::number(part.start) << QStringLiteral("-h")
         << QString::number(part.start);
    if (!label.isEmpty())
        args << QStringLiteral("-n") << label;
    args << path << QString::number(bytes / 1024);
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
    std::unique_ptr<engine::OpenDisk> disk;
    // Buffered: libfdisk's own I/O is not aligned for O_DIRECT.
    if (int32_t status = engine::openDiskForWriting(request.identity, access, false, disk)) {
        outcome.failure = QStringLiteral("the disk cannot be opened (status %1)").arg(status);
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
    disk->rereadPartitions(); // mkfs works on the byte range, so a refusal does not matter

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

    // mkfs.fat opens the disk exclusively itself; the udev lock stays ours.
    disk->releaseDevice();
    if (!engine::pathStillNames(request.identity)) {
        outcome.failure = QStringLiteral("the disk changed during the format");
        return outcome;
    }
    const QString label = request.label.toUpper();
    QString mkfsError = runMkfs(mkfs, path, part, label, request.abortFlag);
    if (!mkfsError.isEmpty() && mkfsError != QLatin1String(kAbortedMkfs) && !label.isEmpty()) {
        // Perhaps only the label was refused: format without it.
        outcome.failure = mkfsError;
        mkfsError = runMkfs(mkfs, path, part, QString(), request.abortFlag);
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
