#include "DevicesTestSupport.h"
#include "RealDisks.h"

#include "devices/ScanDevices.h"
#include "platform/DeviceMonitor.h"
#include "platform/linux/BlockDiskEnumerator.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>
#include <gtest/gtest.h>
#include <memory>

using kestrune::platform::DiskInfo;
using kestrune::platform::linux_impl::BlockDiskEnumerator;

namespace {

// FAT as on a stick, or ext4 where the kernel cannot mount FAT.
bool makeLabelledImage(const QString& path) {
    if (kestrune::test::kernelHasFileSystem("vfat"))
        return kestrune::test::makeFatImage(path, 8192, "LOOPDATA");
    if (!kestrune::test::kernelHasFileSystem("ext4"))
        return false;
    QFile image(path);
    if (!image.open(QIODevice::WriteOnly | QIODevice::Truncate) || !image.resize(8192 * 1024))
        return false;
    image.close();
    return kestrune::test::makeExt4(path, "LOOPDATA");
}

// A real loop device carrying a labelled file system, mounted: the volume pass must
// find the label and the mount point the way it finds them on a stick. Loop devices
// themselves are never listed, so the disk is read by name. The mounts are made in a mount
// namespace of the test's own: it sees no other mount on the machine, and none of its
// mounts outlives it.
class LoopDevice : public ::testing::Test {
protected:
    void SetUp() override {
        if (const QString reason = kestrune::test::loopDevicesUnavailable(); !reason.isEmpty())
            GTEST_SKIP() << reason.toStdString();
        if (const QString reason = kestrune::test::enterPrivateMountNamespace(); !reason.isEmpty())
            GTEST_SKIP() << reason.toStdString();
        if (!makeLabelledImage(work.filePath("fat.img")))
            GTEST_SKIP() << "no file system that both the tools and the kernel know";
        mountPoint = work.filePath("mnt");
        QDir().mkpath(mountPoint);
    }

    bool attach(const QString& image) {
        kestrune::test::LoopDisk::Options options;
        options.partitionScan = true;
        loopDisk = std::make_unique<kestrune::test::LoopDisk>(image, options);
        loop = loopDisk->device();
        name = loopDisk->name();
        return loopDisk->attached();
    }
    bool mount(const QString& device) {
        mounted = std::make_unique<kestrune::test::ScopedMount>(device, mountPoint);
        return mounted->mounted();
    }
    void expectVolume(const DiskInfo& disk, const QString& volumeName) {
        const BlockDiskEnumerator enumerator({});
        EXPECT_FALSE(enumerator.judge(name).listed);
        ASSERT_EQ(disk.volumes.size(), 1u);
        EXPECT_EQ(disk.volumes[0].name, volumeName);
        EXPECT_EQ(disk.volumes[0].label, "LOOPDATA");
        EXPECT_EQ(disk.volumes[0].mountPoint, mountPoint);
        EXPECT_EQ(kestrune::volumeDisplayText(disk.volumes[0]), "LOOPDATA (" + mountPoint + ")");
    }

    QTemporaryDir work;
    QString mountPoint;
    std::unique_ptr<kestrune::test::LoopDisk> loopDisk;
    // Declared after the disk: unmounted before it is detached.
    std::unique_ptr<kestrune::test::ScopedMount> mounted;
    QString loop;
    QString name;
};

TEST_F(LoopDevice, FileSystemOnTheWholeDisk) {
    if (!attach(work.filePath("fat.img")))
        GTEST_SKIP() << "no free loop device";
    ASSERT_TRUE(mount(loop));
    const auto disk = BlockDiskEnumerator({}).readDisk(name);
    ASSERT_TRUE(disk.has_value());
    EXPECT_EQ(disk->sizeBytes, 8192u * 1024);
    expectVolume(*disk, name);

    // Unmounted, the label still comes from the file system and the name from the node.
    ASSERT_TRUE(mounted->unmount());
    const auto again = BlockDiskEnumerator({}).readDisk(name);
    ASSERT_TRUE(again.has_value());
    ASSERT_EQ(again->volumes.size(), 1u);
    EXPECT_EQ(kestrune::volumeDisplayText(again->volumes[0]), "LOOPDATA (" + name + ")");
}

TEST_F(LoopDevice, FileSystemInAPartition) {
    ASSERT_TRUE(kestrune::test::makePartitionedImage(work.filePath("disk.img"), 16,
                                                     work.filePath("fat.img")));
    if (!attach(work.filePath("disk.img")))
        GTEST_SKIP() << "no free loop device";
    const QString partition = loop + "p1";
    for (int i = 0; i < 20 && !QFileInfo::exists(partition); ++i)
        QThread::msleep(100);
    if (!QFileInfo::exists(partition))
        GTEST_SKIP() << "this kernel does not read partition tables on loop devices";
    ASSERT_TRUE(mount(partition));
    const auto disk = BlockDiskEnumerator({}).readDisk(name);
    ASSERT_TRUE(disk.has_value());
    EXPECT_EQ(disk->sizeBytes, 16u << 20);
    expectVolume(*disk, name + "p1");
}

TEST_F(LoopDevice, MountChangesAreArrivalsUnlessTheirDiskIsSuppressed) {
    if (!attach(work.filePath("fat.img")))
        GTEST_SKIP() << "no free loop device";
    kestrune::platform::DeviceMonitorOptions options;
    options.watchBlockDevices = false;
    options.debounceMs = 50;
    options.suppressGraceMs = 100;
    kestrune::platform::DeviceMonitor monitor(options);
    ASSERT_TRUE(monitor.isWatching());
    QSignalSpy arrived(&monitor, &kestrune::platform::DeviceMonitor::volumeArrived);

    monitor.suppressDisk(loop, true);
    ASSERT_TRUE(mount(loop));
    QTest::qWait(400);
    EXPECT_EQ(arrived.count(), 0);
    monitor.suppressDisk(loop, false);
    QTest::qWait(200);

    ASSERT_TRUE(mounted->unmount());
    EXPECT_TRUE(arrived.wait(3000));
}

} // namespace
