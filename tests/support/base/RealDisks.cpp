#include "RealDisks.h"

#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QStandardPaths>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <linux/loop.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kestrune::test {

QString loopDevicesUnavailable() {
    if (::geteuid() != 0)
        return QStringLiteral("needs root for loop devices");
    if (!QFileInfo::exists(QStringLiteral("/dev/loop-control")))
        return QStringLiteral("this kernel has no loop devices");
    return {};
}

QString systemProgram(const QString& name) {
    if (name.contains(QLatin1Char('/')))
        return name;
    QString found = QStandardPaths::findExecutable(name);
    if (found.isEmpty())
        found = QStandardPaths::findExecutable(name, {QStringLiteral("/usr/local/sbin"),
                                                      QStringLiteral("/usr/sbin"),
                                                      QStringLiteral("/sbin")});
    return found;
}

int runProgram(const QString& program, const QStringList& arguments, QByteArray* output,
               int timeoutMs) {
    QProcess process;
    process.setProcessChannelMode(QProcess::SeparateChannels);
    const QString found = systemProgram(program);
    process.start(found.isEmpty() ? program : found, arguments);
    if (!process.waitForFinished(timeoutMs)) {
        process.kill();
        process.waitForFinished();
        return -1;
    }
    if (output)
        *output = process.readAllStandardOutput();
    return process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
}

LoopDisk::LoopDisk(const QString& backingFile) : LoopDisk(backingFile, Options{}) {}

// Attached by the kernel's own calls rather than losetup, to set autoclear and keep a
// descriptor: the device then lives exactly as long as someone holds it.
LoopDisk::LoopDisk(const QString& backingFile, const Options& options) {
    const QByteArray file = QFile::encodeName(backingFile);
    const int backing =
        ::open(file.constData(), (options.readOnly ? O_RDONLY : O_RDWR) | O_CLOEXEC);
    const int control = ::open("/dev/loop-control", O_RDWR | O_CLOEXEC);
    if (backing < 0 || control < 0) {
        error_ = QStringLiteral("cannot open %1: %2")
                     .arg(backing < 0 ? backingFile : QStringLiteral("/dev/loop-control"),
                          QString::fromLocal8Bit(std::strerror(errno)));
    } else {
        loop_config config{};
        config.fd = static_cast<__u32>(backing);
        config.block_size = static_cast<__u32>(options.sectorSize);
        config.info.lo_offset = static_cast<__u64>(options.offset);
        config.info.lo_sizelimit = static_cast<__u64>(options.sizeLimit);
        config.info.lo_flags = LO_FLAGS_AUTOCLEAR | (options.readOnly ? LO_FLAGS_READ_ONLY : 0) |
                               (options.partitionScan ? LO_FLAGS_PARTSCAN : 0);
        std::snprintf(reinterpret_cast<char*>(config.info.lo_file_name), LO_NAME_SIZE, "%s",
                      file.constData());
        // Another process may take the free device first: then the next one.
        for (int attempt = 0; attempt < 20 && fd_ < 0; ++attempt) {
            const int number = ::ioctl(control, LOOP_CTL_GET_FREE);
            if (number < 0) {
                error_ = QStringLiteral("no free loop device: %1")
                             .arg(QString::fromLocal8Bit(std::strerror(errno)));
                break;
            }
            const QString device = QStringLiteral("/dev/loop%1").arg(number);
            const int fd = ::open(QFile::encodeName(device).constData(), O_RDWR | O_CLOEXEC);
            if (fd >= 0 && ::ioctl(fd, LOOP_CONFIGURE, &config) == 0) {
                fd_ = fd;
                device_ = device;
                break;
            }
            error_ = QStringLiteral("cannot attach %1 to %2: %3")
                         .arg(backingFile, device, QString::fromLocal8Bit(std::strerror(errno)));
            if (fd >= 0)
                ::close(fd);
        }
    }
    if (backing >= 0)
        ::close(backing);
    if (control >= 0)
        ::close(control);
    if (fd_ >= 0)
        error_.clear();
}

LoopDisk::~LoopDisk() {
    detach();
}

QString LoopDisk::name() const {
    return QFileInfo(device_).fileName();
}

bool LoopDisk::detach() {
    if (fd_ < 0)
        return true;
    // The kernel clears a device others still hold once they let it go.
    const bool taken = ::ioctl(fd_, LOOP_CLR_FD, 0) == 0 || errno == ENXIO;
    ::close(fd_);
    fd_ = -1;
    device_.clear();
    return taken;
}

ScopedMount::ScopedMount(const QString& device, const QString& mountPoint,
                         const QStringList& options)
    : point_(mountPoint) {
    QStringList args;
    if (!options.isEmpty())
        args << QStringLiteral("-o") << options.join(QLatin1Char(','));
    mounted_ = runProgram(QStringLiteral("mount"), args << device << mountPoint) == 0;
}

ScopedMount::~ScopedMount() {
    unmount();
}

bool ScopedMount::unmount() {
    if (!mounted_)
        return true;
    const QByteArray point = QFile::encodeName(point_);
    // Busy (a job still holds the disk): gone from the tree now, from the kernel when freed.
    if (::umount2(point.constData(), 0) != 0 && errno != EINVAL &&
        ::umount2(point.constData(), MNT_DETACH) != 0 && errno != EINVAL)
        return false;
    mounted_ = false;
    return true;
}

KestruneDiskIdentity diskIdentityOf(const QString& device) {
    KestruneDiskIdentity id{};
    std::snprintf(id.path, sizeof id.path, "%s", QFile::encodeName(device).constData());
    struct stat st {};
    if (::stat(id.path, &st) == 0)
        id.devt = st.st_rdev;
    QFile seq(QStringLiteral("/sys/block/%1/diskseq").arg(QFileInfo(device).fileName()));
    if (seq.open(QIODevice::ReadOnly))
        id.diskseq = seq.readAll().trimmed().toULongLong();
    return id;
}

ScopedEnvironment::ScopedEnvironment(const char* name, const QByteArray& value)
    : name_(name), had_(qEnvironmentVariableIsSet(name)), previous_(qgetenv(name)) {
    qputenv(name, value);
}

ScopedEnvironment::~ScopedEnvironment() {
    if (had_)
        qputenv(name_, previous_);
    else
        qunsetenv(name_);
}

std::optional<PartitionEntry> firstPartition(const QString& disk) {
    QByteArray output;
    if (runProgram(QStringLiteral("sfdisk"), {QStringLiteral("--json"), disk}, &output) != 0)
        return std::nullopt;
    const QJsonObject table =
        QJsonDocument::fromJson(output).object().value(QStringLiteral("partitiontable")).toObject();
    const QJsonArray partitions = table.value(QStringLiteral("partitions")).toArray();
    if (partitions.isEmpty())
        return std::nullopt;
    const qint64 sectorSize = table.value(QStringLiteral("sectorsize")).toInteger(512);
    const QJsonObject first = partitions.first().toObject();
    PartitionEntry entry;
    entry.label = table.value(QStringLiteral("label")).toString();
    entry.start = first.value(QStringLiteral("start")).toInteger() * sectorSize;
    entry.size = first.value(QStringLiteral("size")).toInteger() * sectorSize;
    bool ok = false;
    entry.typeText = first.value(QStringLiteral("type")).toString();
    entry.type = entry.typeText.toInt(&ok, 16);
    entry.sectorSize = sectorSize;
    return entry;
}

FileSystemCheck checkFileSystemAt(const QString& disk, qint64 offset, qint64 size) {
    FileSystemCheck check;
    LoopDisk range(disk, LoopDisk::Options{true, offset, size});
    if (!range.attached())
        return check;
    check.fsck = runProgram(QStringLiteral("fsck.fat"), {QStringLiteral("-n"), range.device()});
    auto tag = [&](const char* name) {
        QByteArray value;
        runProgram(QStringLiteral("blkid"),
                   {QStringLiteral("-p"), QStringLiteral("-o"), QStringLiteral("value"),
                    QStringLiteral("-s"), QString::fromLatin1(name), range.device()},
                   &value);
        return QString::fromUtf8(value).trimmed();
    };
    check.type = tag("TYPE");
    check.version = tag("VERSION");
    check.label = tag("LABEL");
    return check;
}

QByteArray readBytes(const QString& path, qint64 offset, qint64 length) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly) || !file.seek(offset))
        return {};
    return file.read(length);
}

std::optional<FatBootSector> readFatBootSector(const QString& path, qint64 offset) {
    const QByteArray sector = readBytes(path, offset, 512);
    if (sector.size() != 512 || quint8(sector[510]) != 0x55 || quint8(sector[511]) != 0xAA)
        return std::nullopt;
    auto number = [&](int at, int bytes) {
        quint64 value = 0;
        for (int i = bytes - 1; i >= 0; --i)
            value = value << 8 | quint8(sector[at + i]);
        return value;
    };
    FatBootSector boot;
    boot.bytesPerSector = static_cast<int>(number(11, 2));
    boot.sectorsPerCluster = static_cast<int>(number(13, 1));
    const quint64 reserved = number(14, 2);
    const quint64 fats = number(16, 1);
    const quint64 rootEntries = number(17, 2);
    boot.totalSectors = number(19, 2) ? number(19, 2) : number(32, 4);
    boot.hiddenSectors = number(28, 4);
    const quint64 fatSectors = number(22, 2) ? number(22, 2) : number(36, 4);
    if (boot.bytesPerSector < 512 || boot.sectorsPerCluster == 0 || fats == 0)
        return std::nullopt;
    const quint64 rootSectors =
        (rootEntries * 32 + boot.bytesPerSector - 1) / quint64(boot.bytesPerSector);
    const quint64 meta = reserved + fats * fatSectors + rootSectors;
    if (boot.totalSectors <= meta)
        return std::nullopt;
    boot.clusters = (boot.totalSectors - meta) / quint64(boot.sectorsPerCluster);
    boot.fatBitsByCount = boot.clusters < 4085 ? 12 : boot.clusters < 65525 ? 16 : 32;
    return boot;
}

bool isMounted(const QString& device) {
    QFile table(QStringLiteral("/proc/self/mountinfo"));
    if (!table.open(QIODevice::ReadOnly))
        return false;
    const QByteArray name = QFile::encodeName(device);
    for (const QByteArray& line : table.readAll().split('\n')) {
        const qsizetype dash = line.indexOf(" - ");
        if (dash < 0)
            continue;
        const QList<QByteArray> fields = line.mid(dash + 3).split(' ');
        if (fields.size() >= 2 && (fields[1] == name || fields[1].startsWith(name + 'p')))
            return true;
    }
    return false;
}

bool kernelHasFileSystem(const QByteArray& type) {
    QFile table(QStringLiteral("/proc/filesystems"));
    return table.open(QIODevice::ReadOnly) && table.readAll().contains("\t" + type + "\n");
}

bool makeExt4(const QString& image, const QString& label) {
    QStringList args{QStringLiteral("-q"), QStringLiteral("-F"), QStringLiteral("-t"),
                     QStringLiteral("ext4")};
    if (!label.isEmpty())
        args << QStringLiteral("-L") << label;
    return runProgram(QStringLiteral("mke2fs"), args << image) == 0;
}

QString enterPrivateMountNamespace() {
    if (::unshare(CLONE_NEWNS) != 0 ||
        ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        return QStringLiteral("no private mount namespace here");
    return {};
}

} // namespace kestrune::test
