#pragma once

#include "platform/DiskEnumerator.h"

#include <QByteArray>
#include <QString>
#include <QTemporaryDir>
#include <map>
#include <memory>

namespace kestrune::test {

// A faked /sys, /dev, mountinfo, swaps and udev database in a temporary folder, laid out
// the way the kernel lays them out (class links into a device tree, usb parents marked by
// their subsystem link).
class FakeBlockSystem {
public:
    FakeBlockSystem();
    platform::BlockSystemPaths paths() const;

    struct Disk {
        QString name;
        QString parent; // device path below sys/devices that holds the disk
        unsigned major = 8;
        unsigned minor = 0;
        quint64 sectors = 0;
        quint64 diskseq = 0;
        bool removable = false;
        bool readOnly = false;
    };
    // The disk and its block directory; returns that directory.
    QString addDisk(const Disk& disk);
    QString addPartition(const QString& disk, const QString& name, unsigned major, unsigned minor,
                         quint64 sectors);
    // A USB stick: usb device, interface, scsi host and device, then the disk.
    QString addUsbDisk(const Disk& disk, const QByteArray& vendor, const QByteArray& model,
                       const QByteArray& serial);
    void addHolder(const QString& blockDir, const QString& holder);
    void writeFile(const QString& relative, const QByteArray& content);
    void symlink(const QString& target, const QString& relative);
    void addMount(unsigned major, unsigned minor, const QString& source, const QString& target,
                  const QString& fsType = QStringLiteral("vfat"),
                  const QString& superOptions = QStringLiteral("rw"));
    void addSwap(const QString& path);
    void setUdev(unsigned major, unsigned minor, const std::map<QByteArray, QByteArray>& props);
    QString path(const QString& relative) const {
        return dir_.path() + QLatin1Char('/') + relative;
    }

private:
    void flushTables();
    QTemporaryDir dir_;
    // Shared with the paths handed out, which may outlive a copy of this object.
    std::shared_ptr<std::map<std::uint64_t, std::map<QByteArray, QByteArray>>> udev_ =
        std::make_shared<std::map<std::uint64_t, std::map<QByteArray, QByteArray>>>();
    QByteArray mountinfo_;
    QByteArray swaps_;
    int mountId_ = 100;
};

// Runs a program; true when it exited with 0.
bool run(const QString& program, const QStringList& arguments, QByteArray* output = nullptr);
// A FAT file system image of sizeKiB with the label (mkfs.fat); false without the tool.
bool makeFatImage(const QString& path, int sizeKiB, const QString& label);
// An image of totalMiB with an MBR whose first partition (type 0x0e) starts at 1 MiB and
// holds the content of partitionImage.
bool makePartitionedImage(const QString& path, int totalMiB, const QString& partitionImage);

} // namespace kestrune::test
