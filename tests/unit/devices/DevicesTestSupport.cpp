#include "DevicesTestSupport.h"

#include <sys/sysmacros.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>

namespace kestrune::test {

FakeBlockSystem::FakeBlockSystem() {
    QDir root(dir_.path());
    for (const char* sub :
         {"sys/block", "sys/devices", "sys/bus/usb", "sys/bus/scsi", "sys/bus/mmc", "dev", "udev"})
        root.mkpath(QString::fromLatin1(sub));
    mountinfo_ = "22 1 0:21 / /proc rw,relatime - proc proc rw\n";
    flushTables();
}

platform::BlockSystemPaths FakeBlockSystem::paths() const {
    platform::BlockSystemPaths paths;
    paths.sysfsRoot = path(QStringLiteral("sys"));
    paths.devRoot = path(QStringLiteral("dev"));
    paths.mountinfo = path(QStringLiteral("mountinfo"));
    paths.swaps = path(QStringLiteral("swaps"));
    paths.procRoot = path(QStringLiteral("proc"));
    paths.udevProperties = [database = udev_](std::uint64_t devt) {
        const auto found = database->find(devt);
        return found == database->end() ? std::map<QByteArray, QByteArray>() : found->second;
    };
    return paths;
}

void FakeBlockSystem::writeFile(const QString& relative, const QByteArray& content) {
    const QString full = path(relative);
    QDir().mkpath(QFileInfo(full).path());
    QFile file(full);
    if (file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        file.write(content);
}

void FakeBlockSystem::symlink(const QString& target, const QString& relative) {
    const QString full = path(relative);
    QDir().mkpath(QFileInfo(full).path());
    QFile::link(path(target), full);
}

QString FakeBlockSystem::addDisk(const Disk& disk) {
    const QString dir = QStringLiteral("sys/devices/%1/block/%2").arg(disk.parent, disk.name);
    writeFile(dir + QStringLiteral("/dev"),
              QStringLiteral("%1:%2\n").arg(disk.major).arg(disk.minor).toLatin1());
    writeFile(dir + QStringLiteral("/size"), QByteArray::number(disk.sectors) + '\n');
    if (disk.diskseq)
        writeFile(dir + QStringLiteral("/diskseq"), QByteArray::number(disk.diskseq) + '\n');
    writeFile(dir + QStringLiteral("/removable"), disk.removable ? "1\n" : "0\n");
    writeFile(dir + QStringLiteral("/ro"), disk.readOnly ? "1\n" : "0\n");
    QDir().mkpath(path(dir + QStringLiteral("/holders")));
    symlink(dir, QStringLiteral("sys/block/") + disk.name);
    symlink(dir, QStringLiteral("sys/dev/block/%1:%2").arg(disk.major).arg(disk.minor));
    // The parent is the disk's "device".
    QFile::link(path(QStringLiteral("sys/devices/") + disk.parent),
                path(dir + QStringLiteral("/device")));
    writeFile(QStringLiteral("dev/") + disk.name, {});
    return dir;
}

QString FakeBlockSystem::addPartition(const QString& disk, const QString& name, unsigned major,
                                      unsigned minor, quint64 sectors) {
    const QString dir = QFileInfo(path(QStringLiteral("sys/block/") + disk)).canonicalFilePath() +
                        QLatin1Char('/') + name;
    const QString relative = dir.mid(dir_.path().size() + 1);
    writeFile(relative + QStringLiteral("/partition"), "1\n");
    writeFile(relative + QStringLiteral("/dev"),
              QStringLiteral("%1:%2\n").arg(major).arg(minor).toLatin1());
    writeFile(relative + QStringLiteral("/size"), QByteArray::number(sectors) + '\n');
    QDir().mkpath(dir + QStringLiteral("/holders"));
    symlink(relative, QStringLiteral("sys/dev/block/%1:%2").arg(major).arg(minor));
    if (!QFileInfo::exists(path(QStringLiteral("dev/") + name)))
        writeFile(QStringLiteral("dev/") + name, {});
    return relative;
}

QString FakeBlockSystem::addUsbDisk(const Disk& disk, const QByteArray& vendor,
                                    const QByteArray& model, const QByteArray& serial) {
    const QString usb =
        QStringLiteral("pci0000:00/0000:00:14.0/usb2/2-%1").arg(disk.minor / 16 + 1);
    writeFile(QStringLiteral("sys/devices/%1/idVendor").arg(usb), "0781\n");
    writeFile(QStringLiteral("sys/devices/%1/idProduct").arg(usb), "5567\n");
    writeFile(QStringLiteral("sys/devices/%1/serial").arg(usb), serial + '\n');
    symlink(QStringLiteral("sys/bus/usb"), QStringLiteral("sys/devices/%1/subsystem").arg(usb));
    const QString interface = usb + QStringLiteral("/2-1:1.0");
    symlink(QStringLiteral("sys/bus/usb"),
            QStringLiteral("sys/devices/%1/subsystem").arg(interface));
    const QString scsi = interface + QStringLiteral("/host6/target6:0:0/6:0:0:%1").arg(disk.minor);
    writeFile(QStringLiteral("sys/devices/%1/vendor").arg(scsi), vendor + '\n');
    writeFile(QStringLiteral("sys/devices/%1/model").arg(scsi), model + '\n');
    symlink(QStringLiteral("sys/bus/scsi"), QStringLiteral("sys/devices/%1/subsystem").arg(scsi));
    Disk copy = disk;
    copy.parent = scsi;
    return addDisk(copy);
}

void FakeBlockSystem::addHolder(const QString& blockDir, const QString& holder) {
    writeFile(blockDir + QStringLiteral("/holders/") + holder, {});
}

void FakeBlockSystem::addMount(unsigned major, unsigned minor, const QString& source,
                               const QString& target, const QString& fsType,
                               const QString& superOptions) {
    QString escaped = target;
    escaped.replace(QLatin1Char(' '), QLatin1String("\\040"));
    mountinfo_ += QStringLiteral("%1 1 %2:%3 / %4 rw,relatime - %5 %6 %7\n")
                      .arg(mountId_++)
                      .arg(major)
                      .arg(minor)
                      .arg(escaped, fsType, source, superOptions)
                      .toUtf8();
    flushTables();
}

void FakeBlockSystem::addSwap(const QString& swapPath) {
    swaps_ += swapPath.toUtf8() + "                               partition\t1048572\t0\t-2\n";
    flushTables();
}

void FakeBlockSystem::setUdev(unsigned major, unsigned minor,
                              const std::map<QByteArray, QByteArray>& props) {
    (*udev_)[makedev(major, minor)] = props;
}

void FakeBlockSystem::flushTables() {
    writeFile(QStringLiteral("mountinfo"), mountinfo_);
    writeFile(QStringLiteral("swaps"),
              "Filename\t\t\t\tType\t\tSize\t\tUsed\t\tPriority\n" + swaps_);
}

bool run(const QString& program, const QStringList& arguments, QByteArray* output) {
    QString executable = QStandardPaths::findExecutable(program);
    if (executable.isEmpty())
        executable = QStandardPaths::findExecutable(
            program, {QStringLiteral("/usr/sbin"), QStringLiteral("/sbin")});
    if (executable.isEmpty())
        return false;
    QProcess process;
    process.start(executable, arguments);
    if (!process.waitForFinished(60000))
        return false;
    if (output)
        *output = process.readAllStandardOutput();
    return process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
}

bool makeFatImage(const QString& path, int sizeKiB, const QString& label) {
    QFile::remove(path);
    return run(QStringLiteral("mkfs.fat"),
               {QStringLiteral("-C"), QStringLiteral("-n"), label, path, QString::number(sizeKiB)});
}

bool makePartitionedImage(const QString& path, int totalMiB, const QString& partitionImage) {
    QFile part(partitionImage);
    if (!part.open(QIODevice::ReadOnly))
        return false;
    const QByteArray content = part.readAll();
    const quint32 start = 2048;
    const quint32 sectors = static_cast<quint32>(content.size() / 512);
    if (static_cast<qint64>(start + sectors) * 512 > static_cast<qint64>(totalMiB) * 1024 * 1024)
        return false;
    QByteArray mbr(512, '\0');
    auto put32 = [&mbr](int offset, quint32 value) {
        for (int i = 0; i < 4; ++i)
            mbr[offset + i] = static_cast<char>((value >> (8 * i)) & 0xFF);
    };
    mbr[446 + 4] = static_cast<char>(0x0E);
    put32(446 + 8, start);
    put32(446 + 12, sectors);
    mbr[510] = static_cast<char>(0x55);
    mbr[511] = static_cast<char>(0xAA);
    QFile image(path);
    if (!image.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    image.resize(static_cast<qint64>(totalMiB) * 1024 * 1024);
    image.write(mbr);
    image.seek(static_cast<qint64>(start) * 512);
    image.write(content);
    return true;
}

} // namespace kestrune::test
