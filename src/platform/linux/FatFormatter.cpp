#include "platform/DiskFormatter.h"

#include "base/AbortFlag.h"
#include "base/DiskOpening.h"
#include "base/Zeroing.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <QStringList>
#include <QTemporaryFile>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <libfdisk.h>
#include <linux/hdreg.h>
#include <memory>
#include <sys/ioctl.h>
#include <unistd.h>

namespace kestrune::platform {

namespace {

constexpr uint64_t kFat32From = 512ull << 20;
// An MBR counts 32-bit sectors of 512 bytes: a larger disk gets a GPT instead.
constexpr uint64_t kMbrUpTo = 2ull << 40;
constexpr auto kBasicDataType = "EBD0A0A2-B9E5-4433-87C0-68B6B72699C7";

// A window onto part of a disk, so the zeroing pass covers just the partition.
class RangeDevice final : public blockio::BlockDevice {
public:
    RangeDevice(blockio::BlockDevice& disk, uint64_t offset, uint64_t length)
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
    blockio::BlockDevice& disk_;
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

// One partition over the whole disk: in an MBR up to 2 TiB (type 0x0e below 512 MiB, else
// 0x0c), in a GPT beyond (basic data). What lies outside the partition is zeroed before the
// table is written, so no old signature is left behind and the GPT's own sectors stay.
QString partitionDisk(blockio::FdBlockDevice& disk, const char* path, uint64_t bytes,
                      Partition& out) {
    FdiskContext fdisk;
    if (!fdisk.cxt)
        return QStringLiteral("no memory for the partition table");
    fdisk.fd = fcntl(disk.fd(), F_DUPFD_CLOEXEC, 0);
    if (fdisk.fd < 0 || fdisk_assign_device_by_fd(fdisk.cxt, fdisk.fd, path, 0) != 0)
        return QStringLiteral("cannot read the disk's geometry");
    const bool gpt = bytes > kMbrUpTo;
    if (fdisk_create_disklabel(fdisk.cxt, gpt ? "gpt" : "dos") != 0)
        return gpt ? QStringLiteral("cannot create a GPT") : QStringLiteral("cannot create an MBR");
    fdisk_label* label = fdisk_get_label(fdisk.cxt, nullptr);
    fdisk_parttype* type =
        gpt ? fdisk_label_get_parttype_from_string(label, kBasicDataType)
            : fdisk_label_get_parttype_from_code(label, bytes < kFat32From ? 0x0e : 0x0c);
    if (!type)
        return QStringLiteral("the partition type is unknown to libfdisk");
    fdisk_partition* wanted = fdisk_new_partition();
    fdisk_partition_set_partno(wanted, 0);
    fdisk_partition_set_start(wanted, fdisk_get_first_lba(fdisk.cxt));
    fdisk_partition_end_follow_default(wanted, 1);
    fdisk_partition_set_type(wanted, type);
    int rc = fdisk_add_partition(fdisk.cxt, wanted, nullptr);
    fdisk_unref_partition(wanted);
    if (rc != 0)
        return QStringLiteral("the disk is too small for a partition");
    fdisk_partition* planned = nullptr;
    if (fdisk_get_partition(fdisk.cxt, 0, &planned) != 0)
        return QStringLiteral("the new partition cannot be read back");
    out.start = fdisk_partition_get_start(planned);
    out.sectors = fdisk_partition_get_size(planned);
    out.sectorSize = fdisk_get_sector_size(fdisk.cxt);
    fdisk_unref_partition(planned);

    const uint64_t partStart = out.start * out.sectorSize;
    const uint64_t partEnd = partStart + out.sectors * out.sectorSize;
    blockio::ZeroingOutcome zeroed = blockio::writeZeros(disk, out.sectorSize, partStart);
    if (zeroed.end == blockio::ZeroingOutcome::End::Done)
        zeroed = blockio::writeZeros(disk, partEnd, bytes);
    if (zeroed.end != blockio::ZeroingOutcome::End::Done)
        return QStringLiteral("cannot write the partition table: %1").arg(strerror(zeroed.error));
    if (fdisk_write_disklabel(fdisk.cxt) != 0)
        return QStringLiteral("cannot write the partition table: %1").arg(strerror(errno));
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
QString runMkfs(const QString& program, const QString& image, uint64_t bytes,
                uint64_t partitionOffset, const FatLayout& layout, const QString& geometry,
                const QString& label, const unsigned char* abortFlag) {
    QStringList args{QStringLiteral("-I"), QStringLiteral("-S"), QString::number(layout.sectorSize),
                     QStringLiteral("-F"), QString::number(layout.fatBits)};
    if (layout.sectorsPerCluster)
        args << QStringLiteral("-s") << QString::number(layout.sectorsPerCluster);
    args << QStringLiteral("-h") << QString::number(partitionOffset / layout.sectorSize);
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
        const bool aborted = AbortFlag::raisedAt(abortFlag);
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

bool allZeros(const uint8_t* data, size_t length) {
    return length == 0 || (data[0] == 0 && std::memcmp(data, data + 1, length - 1) == 0);
}

// Writes the pieces of a block that hold more than zeros, which the partition holds already.
int writeNonZeroPieces(blockio::BlockDevice& partition, const uint8_t* data, size_t length,
                       uint64_t offset) {
    constexpr size_t kPiece = 64 << 10;
    size_t runStart = 0;
    size_t runLength = 0;
    for (size_t at = 0; at < length; at += kPiece) {
        const size_t piece = std::min(kPiece, length - at);
        if (!allZeros(data + at, piece)) {
            if (runLength == 0)
                runStart = at;
            runLength += piece;
            if (at + piece < length)
                continue;
        }
        if (runLength) {
            if (int rc = partition.writeAt(data + runStart, runLength, offset + runStart))
                return rc;
            runLength = 0;
        }
    }
    return 0;
}

// The bytes of a sparse file that are not holes.
uint64_t dataBytes(int fd) {
    uint64_t total = 0;
    for (off_t at = 0;;) {
        const off_t data = lseek(fd, at, SEEK_DATA);
        const off_t hole = data < 0 ? -1 : lseek(fd, data, SEEK_HOLE);
        if (hole < 0)
            return total;
        total += static_cast<uint64_t>(hole - data);
        at = hole;
    }
}

// How far the copy of the file system's structures has got.
using CopyProgress = std::function<void(uint64_t done, uint64_t total)>;

// Copies what mkfs.fat wrote into the (sparse) file onto the partition, which reads as
// zeros: holes and zeros are left out, so a FAT of hundreds of MiB costs only its first
// sectors. 0 or an errno value.
int copyDataExtents(const QString& image, blockio::BlockDevice& partition,
                    const CopyProgress& progress) {
    const int fd = open(QFile::encodeName(image).constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return errno;
    blockio::AlignedBuffer buffer(1 << 20);
    int rc = buffer ? 0 : ENOMEM;
    const uint64_t total = progress ? dataBytes(fd) : 0;
    uint64_t done = 0;
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
            rc = writeNonZeroPieces(partition, buffer.data(), static_cast<size_t>(got),
                                    static_cast<uint64_t>(at));
            at += got;
            done += static_cast<uint64_t>(got);
            if (progress && rc == 0)
                progress(done, total);
        }
    }
    close(fd);
    return rc;
}

// Builds the file system in a temporary file, without the label when mkfs.fat refuses it
// (why goes to *labelRefused), and copies it onto the partition once. Empty on success;
// "aborted" when the abort flag stopped it.
QString makeFileSystem(blockio::BlockDevice& partition, int diskFd, const Partition& part,
                       const QString& label, const unsigned char* abortFlag, QString* labelRefused,
                       const CopyProgress& progress) {
    QTemporaryFile image(QDir::tempPath() + QStringLiteral("/kestrune-fat-XXXXXX"));
    const auto bytes = static_cast<qint64>(part.sectors * part.sectorSize);
    if (!image.open() || !image.resize(bytes))
        return QStringLiteral("no room for the file system's image: %1").arg(image.errorString());
    image.close();
    auto build = [&](const QString& withLabel) {
        return buildFatImage(image.fileName(), part.start * part.sectorSize,
                             static_cast<uint32_t>(part.sectorSize), withLabel, abortFlag,
                             geometryOf(diskFd));
    };
    QString failure = build(label);
    if (!failure.isEmpty() && failure != QLatin1String(kAbortedMkfs) && !label.isEmpty()) {
        // Perhaps only the label was refused: a fresh image without it.
        *labelRefused = failure;
        if (!QFile::resize(image.fileName(), 0) || !QFile::resize(image.fileName(), bytes))
            return QStringLiteral("no room for the file system's image");
        failure = build(QString());
    }
    if (!failure.isEmpty())
        return failure;
    if (AbortFlag::raisedAt(abortFlag))
        return QString::fromLatin1(kAbortedMkfs);
    if (int rc = copyDataExtents(image.fileName(), partition, progress))
        return QStringLiteral("cannot write the file system: %1").arg(strerror(rc));
    if (int rc = partition.sync())
        return QStringLiteral("cannot write the file system: %1").arg(strerror(rc));
    return {};
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

// Zeros over the partition, their progress the format's. Empty on success.
QString zeroPartition(blockio::FdBlockDevice& disk, blockio::BlockDevice& partition,
                      const FormatRequest& request, bool* aborted) {
    // Straight to the medium, so the progress shown is the medium's and not the page cache's
    // (a small stick would otherwise jump to 99 % and then wait). libfdisk is done with the
    // descriptor; the flag goes again before the file system is copied in.
    const int flags = fcntl(disk.fd(), F_GETFL);
    const bool direct =
        flags >= 0 && (flags & O_DIRECT) == 0 && fcntl(disk.fd(), F_SETFL, flags | O_DIRECT) == 0;
    const blockio::ZeroingOutcome zeroed =
        blockio::writeZeros(partition, 0, partition.size(), request.progress, request.abortFlag);
    if (direct)
        fcntl(disk.fd(), F_SETFL, flags);
    switch (zeroed.end) {
    case blockio::ZeroingOutcome::End::Done:
        return {};
    case blockio::ZeroingOutcome::End::Aborted:
        *aborted = true;
        return QStringLiteral("aborted while zeroing the partition");
    case blockio::ZeroingOutcome::End::Failed:
        break;
    }
    return QStringLiteral("zeroing the partition failed: %1").arg(strerror(zeroed.error));
}

// Where the disk reads as zeros already, the format writes only its table and the file
// system's structures, and its progress follows them: 1 % at once, then 50..100 % as the
// structures are copied in.
CopyProgress structuresProgress(const FormatRequest& request) {
    if (!request.progress)
        return {};
    request.progress(1);
    return [&progress = request.progress](uint64_t done, uint64_t total) {
        progress(50 + static_cast<int>(std::min(done, total) * 50 / std::max<uint64_t>(total, 1)));
    };
}

// The disk, opened through the job's own descriptor when the disk service opened the disk
// for it, and buffered: libfdisk's own I/O is not aligned for O_DIRECT. Null, and why in
// failure, when it may not be written.
std::unique_ptr<blockio::OpenDisk> openForFormat(const FormatRequest& request, QString& failure) {
    blockio::DiskAccessOptions access;
    access.requireRemovable = request.requireRemovable;
    const int handed = request.deviceNumber >= 0
                           ? kestrune_disk_number_take(static_cast<uint32_t>(request.deviceNumber))
                           : -1;
    access.descriptor = handed;
    std::unique_ptr<blockio::OpenDisk> disk;
    const blockio::DiskAccess opened =
        blockio::openDiskForWriting(request.identity, access, false, disk);
    if (handed >= 0)
        close(handed);
    if (opened != blockio::DiskAccess::Granted)
        failure = QStringLiteral("the disk cannot be opened: it %1")
                      .arg(QLatin1String(blockio::describe(opened)));
    return disk;
}

// Builds the file system with the label on the zeroed partition: the outcome's last word.
void buildFileSystem(blockio::OpenDisk& disk, blockio::BlockDevice& partition,
                     const Partition& part, const FormatRequest& request,
                     const CopyProgress& copied, FormatOutcome& outcome) {
    QString labelRefused;
    const QString mkfsError =
        makeFileSystem(partition, disk.device().fd(), part, request.label.toUpper(),
                       request.abortFlag, &labelRefused, copied);
    outcome.labelled = labelRefused.isEmpty();
    outcome.failure = labelRefused;
    // The kernel and udev see the new file system, not what they cached of the old disk.
    disk.rereadPartitions();
    if (mkfsError == QLatin1String(kAbortedMkfs)) {
        outcome.aborted = true;
        outcome.labelled = false;
        outcome.failure = QStringLiteral("aborted while making the file system");
        return;
    }
    if (!mkfsError.isEmpty()) {
        outcome.failure = mkfsError;
        outcome.labelled = false;
        return;
    }
    outcome.formatted = true;
}

} // namespace

QString buildFatImage(const QString& image, uint64_t partitionOffset, uint32_t diskSectorSize,
                      const QString& label, const unsigned char* abortFlag,
                      const QString& geometry) {
    const QString program = findMkfs();
    if (program.isEmpty())
        return QStringLiteral("mkfs.fat is not installed");
    const auto bytes = static_cast<uint64_t>(QFileInfo(image).size());
    QString failure;
    const std::optional<FatLayout> layout = chooseFatLayout(bytes, diskSectorSize, &failure);
    if (!layout)
        return failure;
    return runMkfs(program, image, bytes, partitionOffset, *layout, geometry, label, abortFlag);
}

FormatOutcome formatWholeDisk(const FormatRequest& request, const PartitioningHooks& hooks) {
    FormatOutcome outcome;
    if (findMkfs().isEmpty()) {
        outcome.failure = QStringLiteral("mkfs.fat is not installed");
        return outcome;
    }
    const std::unique_ptr<blockio::OpenDisk> disk = openForFormat(request, outcome.failure);
    if (!disk)
        return outcome;
    const uint64_t bytes = disk->device().size();
    // A disk no FAT can span is refused before anything is written to it.
    if (!chooseFatLayout(bytes, static_cast<uint32_t>(disk->device().alignment()),
                         &outcome.failure))
        return outcome;

    HookGuard guard(hooks, QString::fromLocal8Bit(request.identity.path));
    Partition part;
    outcome.failure = partitionDisk(disk->device(), request.identity.path, bytes, part);
    if (!outcome.failure.isEmpty())
        return outcome;
    // The partition is written through the disk, so a refusal does not matter.
    disk->rereadPartitions();

    RangeDevice partition(disk->device(), part.start * part.sectorSize,
                          part.sectors * part.sectorSize);
    // Zeros already read back from the whole disk need not be written again.
    CopyProgress copied;
    if (request.diskReadsAsZeros)
        copied = structuresProgress(request);
    else
        outcome.failure = zeroPartition(disk->device(), partition, request, &outcome.aborted);
    if (!outcome.failure.isEmpty())
        return outcome;
    buildFileSystem(*disk, partition, part, request, copied, outcome);
    return outcome;
}

} // namespace kestrune::platform
