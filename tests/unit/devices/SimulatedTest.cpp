#include "DevicesTestSupport.h"
#include "RealDisks.h"
#include "platform/linux/BlockDiskEnumerator.h"

#include "base/DiskOpening.h"
#include "devices/ScanDevices.h"
#include "platform/DeviceMonitor.h"

#include <QDir>
#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

using kestrune::platform::DeviceMonitor;
using kestrune::platform::DeviceMonitorOptions;
using kestrune::platform::DiskInfo;

namespace {

bool makeBlankImage(const QString& path, qint64 size) {
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.resize(size);
}

TEST(SimulatedDisks, ImagesAreUsbSticksAndNothingElseIsListed) {
    QTemporaryDir dir;
    ASSERT_TRUE(makeBlankImage(dir.filePath("blank.img"), 4 << 20));
    const bool haveMkfs = kestrune::test::makeFatImage(dir.filePath("data.img"), 2048, "DATA");
    bool partitioned = false;
    if (haveMkfs) {
        QTemporaryDir work;
        ASSERT_TRUE(kestrune::test::makeFatImage(work.filePath("part.img"), 4096, "PART1"));
        partitioned = kestrune::test::makePartitionedImage(dir.filePath("parted.img"), 8,
                                                           work.filePath("part.img"));
    }
    // Neither a link (it could lead to a real device) nor any other file is a disk.
    QFile::link("/dev/null", dir.filePath("link.img"));
    makeBlankImage(dir.filePath("notes.txt"), 100);
    QDir(dir.path()).mkdir("folder.img");

    const kestrune::test::ScopedEnvironment variable("KESTRUNE_SIMULATED_DISKS",
                                                     dir.path().toUtf8());
    const auto disks = kestrune::platform::createDiskEnumerator()->removableDisks();
    QStringList names;
    for (const DiskInfo& disk : disks)
        names << disk.name;
    QStringList expected{"blank"};
    if (haveMkfs)
        expected = QStringList{"blank", "data"};
    if (partitioned)
        expected << "parted";
    ASSERT_EQ(names, expected);

    const DiskInfo& blank = disks[0];
    struct stat st {};
    ASSERT_EQ(::stat(QFile::encodeName(dir.filePath("blank.img")).constData(), &st), 0);
    EXPECT_EQ(blank.identity.path, dir.filePath("blank.img"));
    EXPECT_TRUE(blank.identity.simulated);
    EXPECT_EQ(blank.identity.devt, st.st_dev);
    EXPECT_EQ(blank.identity.diskseq, st.st_ino);
    EXPECT_EQ(blank.vendor, "Kestrune");
    EXPECT_EQ(blank.product, "Virtual Stick");
    EXPECT_EQ(blank.serial, "blank");
    EXPECT_EQ(blank.bus, "USB");
    EXPECT_EQ(blank.sizeBytes, 4u << 20);
    EXPECT_TRUE(blank.hasMedium);
    EXPECT_TRUE(blank.volumes.empty());

    if (!haveMkfs)
        GTEST_SKIP() << "mkfs.fat is not installed";
    ASSERT_EQ(disks[1].volumes.size(), 1u);
    EXPECT_EQ(disks[1].volumes[0].name, "data");
    EXPECT_EQ(disks[1].volumes[0].label, "DATA");
    ASSERT_TRUE(partitioned);
    ASSERT_EQ(disks[2].volumes.size(), 1u);
    EXPECT_EQ(disks[2].volumes[0].name, "partedp1");
    EXPECT_EQ(disks[2].volumes[0].label, "PART1");
    EXPECT_EQ(disks[2].volumes[0].fsType, "vfat");
}

TEST(SimulatedDisks, AnEmptyFolderNameListsNothing) {
    QTemporaryDir cwd;
    ASSERT_TRUE(makeBlankImage(cwd.filePath("here.img"), 1024));
    const QString previous = QDir::currentPath();
    QDir::setCurrent(cwd.path());
    const kestrune::test::ScopedEnvironment variable("KESTRUNE_SIMULATED_DISKS", "");
    const auto disks = kestrune::platform::createDiskEnumerator()->removableDisks();
    QDir::setCurrent(previous);
    EXPECT_TRUE(disks.empty());
}

std::vector<QString> pathsOf(const std::vector<DiskInfo>& disks) {
    std::vector<QString> paths;
    for (const DiskInfo& disk : disks)
        paths.push_back(disk.identity.path);
    return paths;
}

KestruneDiskIdentity identityOf(const DiskInfo& disk) {
    KestruneDiskIdentity id{};
    const QByteArray path = disk.identity.nativePath.isEmpty()
                                ? QFile::encodeName(disk.identity.path)
                                : disk.identity.nativePath;
    std::snprintf(id.path, sizeof id.path, "%s", path.constData());
    id.devt = disk.identity.devt;
    id.diskseq = disk.identity.diskseq;
    id.simulated = disk.identity.simulated ? 1 : 0;
    return id;
}

// A file with a second name (a hard link) may be anyone's file that only looks like an image:
// neither name is a disk, and the engine writes neither.
TEST(SimulatedDisks, AnImageWithASecondNameIsNoDisk) {
    QTemporaryDir dir;
    const QByteArray content(1 << 20, 'K');
    for (const char* name : {"single.img", "linked.img"}) {
        QFile file(dir.filePath(name));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(content);
    }
    const QByteArray linked = QFile::encodeName(dir.filePath("linked.img"));
    ASSERT_EQ(::link(linked.constData(), QFile::encodeName(dir.filePath("other.img")).constData()),
              0);
    const kestrune::test::ScopedEnvironment variable("KESTRUNE_SIMULATED_DISKS",
                                                     QFile::encodeName(dir.path()));
    const auto disks = kestrune::platform::createDiskEnumerator()->removableDisks();
    ASSERT_EQ(pathsOf(disks), std::vector<QString>{dir.filePath("single.img")});

    // The identity the image had before its second name came.
    DiskInfo taken = disks[0];
    struct stat st {};
    ASSERT_EQ(::stat(linked.constData(), &st), 0);
    taken.identity.path = dir.filePath("linked.img");
    taken.identity.diskseq = st.st_ino;
    std::unique_ptr<kestrune::blockio::OpenDisk> open;
    EXPECT_EQ(kestrune::blockio::openDiskForWriting(identityOf(taken), {}, true, open),
              kestrune::blockio::DiskAccess::Gone);
    EXPECT_FALSE(open);
    QFile after(dir.filePath("other.img"));
    ASSERT_TRUE(after.open(QIODevice::ReadOnly));
    EXPECT_EQ(after.readAll(), content);
}

// Names are texts the user reads: a line break, a direction override or bytes that are not
// UTF-8 in a file name must neither break the row nor lose the disk.
TEST(SimulatedDisks, HostileImageNamesAreListedAndShownSafely) {
    QTemporaryDir dir;
    const QByteArray folder = QFile::encodeName(dir.path());
    const QByteArray names[] = {"two\nlines.img", "cod\xe2\x80\xaegnp.img", "latin\xe9.img"};
    // The folder's own clean-up cannot name a file whose name is no UTF-8.
    struct RemoveByBytes {
        const QByteArray& folder;
        const QByteArray (&names)[3];
        ~RemoveByBytes() {
            for (const QByteArray& name : names)
                ::unlink((folder + '/' + name).constData());
        }
    } removeByBytes{folder, names};
    for (const QByteArray& name : names) {
        const int fd = ::open((folder + '/' + name).constData(), O_CREAT | O_WRONLY, 0644);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(::ftruncate(fd, 1 << 20), 0);
        ::close(fd);
    }
    const kestrune::test::ScopedEnvironment variable("KESTRUNE_SIMULATED_DISKS", folder);
    const auto disks = kestrune::platform::createDiskEnumerator()->removableDisks();
    ASSERT_EQ(disks.size(), 3u);
    QStringList serials;
    for (const DiskInfo& disk : disks) {
        serials << disk.serial;
        for (const QChar c : disk.serial + disk.name)
            EXPECT_TRUE(c.isPrint()) << disk.serial.toStdString();
        // The engine reaches the very file, whatever its bytes.
        std::unique_ptr<kestrune::blockio::OpenDisk> open;
        EXPECT_EQ(kestrune::blockio::openDiskForWriting(identityOf(disk), {}, true, open),
                  kestrune::blockio::DiskAccess::Granted);
    }
    serials.sort();
    EXPECT_EQ(serials, (QStringList{"codgnp", QString::fromUtf8("latin\xef\xbf\xbd"), "twolines"}));

    kestrune::platform::VolumeInfo mounted;
    mounted.name = "sdb1";
    mounted.label = "DA\u202eTA";
    mounted.mountPoint = "/media/u/a\nb";
    EXPECT_EQ(kestrune::volumeDisplayText(mounted), "DATA (/media/u/ab)");
}

// An image of the folder attached to a loop device is that block device; loop devices of
// other files, or of part of an image, are never listed, and the engine refuses them.
TEST(SimulatedDisks, AnAttachedImageIsItsLoopDeviceAndNoOtherLoopDeviceCounts) {
    if (const QString reason = kestrune::test::loopDevicesUnavailable(); !reason.isEmpty())
        GTEST_SKIP() << reason.toStdString();
    QTemporaryDir dir, elsewhere;
    ASSERT_TRUE(makeBlankImage(dir.filePath("attached.img"), 8 << 20));
    ASSERT_TRUE(makeBlankImage(dir.filePath("plain.img"), 4 << 20));
    ASSERT_TRUE(makeBlankImage(elsewhere.filePath("outside.img"), 4 << 20));
    // A part of an image first, so it takes the lower loop number.
    kestrune::test::LoopDisk part(dir.filePath("attached.img"), {false, 1 << 20, 1 << 20});
    kestrune::test::LoopDisk whole(dir.filePath("attached.img"));
    kestrune::test::LoopDisk outside(elsewhere.filePath("outside.img"));
    ASSERT_TRUE(part.attached() && whole.attached() && outside.attached());

    {
        const kestrune::test::ScopedEnvironment variable("KESTRUNE_SIMULATED_DISKS",
                                                         dir.path().toUtf8());
        const auto disks = kestrune::platform::createDiskEnumerator()->removableDisks();
        ASSERT_EQ(pathsOf(disks),
                  (std::vector<QString>{whole.device(), dir.filePath("plain.img")}));
        const DiskInfo& loop = disks[0];
        EXPECT_FALSE(loop.identity.simulated);
        struct stat st {};
        ASSERT_EQ(::stat(QFile::encodeName(whole.device()).constData(), &st), 0);
        EXPECT_EQ(loop.identity.devt, st.st_rdev);
        EXPECT_EQ(loop.vendor, "Kestrune");
        EXPECT_EQ(loop.product, "Virtual Stick");
        EXPECT_EQ(loop.serial, "attached");
        EXPECT_EQ(loop.sizeBytes, 8u << 20);
        EXPECT_TRUE(disks[1].identity.simulated);

        // The engine applies the same rule when it opens a disk.
        std::unique_ptr<kestrune::blockio::OpenDisk> open;
        EXPECT_EQ(kestrune::blockio::openDiskForWriting(identityOf(loop), {}, true, open),
                  kestrune::blockio::DiskAccess::Granted);
        open.reset();
        const auto outsideDisk =
            kestrune::platform::linux_impl::BlockDiskEnumerator({}).readDisk(outside.name());
        ASSERT_TRUE(outsideDisk.has_value());
        EXPECT_EQ(kestrune::blockio::openDiskForWriting(identityOf(*outsideDisk), {}, true, open),
                  kestrune::blockio::DiskAccess::NotAllowed);
        EXPECT_FALSE(open);
    }
    // Without simulated disks, no loop device is ever listed or written.
    const kestrune::test::ScopedEnvironment none("KESTRUNE_SIMULATED_DISKS", "");
    qunsetenv("KESTRUNE_SIMULATED_DISKS");
    for (const QString& path :
         pathsOf(kestrune::platform::createDiskEnumerator()->removableDisks()))
        EXPECT_FALSE(path.startsWith("/dev/loop")) << path.toStdString();
    const auto loopDisk =
        kestrune::platform::linux_impl::BlockDiskEnumerator({}).readDisk(whole.name());
    ASSERT_TRUE(loopDisk.has_value());
    std::unique_ptr<kestrune::blockio::OpenDisk> open;
    EXPECT_EQ(kestrune::blockio::openDiskForWriting(identityOf(*loopDisk), {}, true, open),
              kestrune::blockio::DiskAccess::NotAllowed);
}

class FolderMonitor : public ::testing::Test {
protected:
    void SetUp() override {
        options.simulatedFolder = dir.path();
        options.watchBlockDevices = false;
        options.watchMounts = false;
        options.debounceMs = 50;
        options.suppressGraceMs = 100;
    }
    QTemporaryDir dir;
    DeviceMonitorOptions options;
};

TEST_F(FolderMonitor, ImagesComingAndGoingAreHotPlugEvents) {
    DeviceMonitor monitor(options);
    ASSERT_TRUE(monitor.isWatching());
    QSignalSpy arrived(&monitor, &DeviceMonitor::volumeArrived);
    QSignalSpy removed(&monitor, &DeviceMonitor::volumeRemoved);

    // A burst of new images is one arrival.
    for (int i = 0; i < 4; ++i)
        ASSERT_TRUE(makeBlankImage(dir.filePath(QString("s%1.img").arg(i)), 4096));
    ASSERT_TRUE(arrived.wait(3000));
    QTest::qWait(200);
    EXPECT_EQ(arrived.count(), 1);
    EXPECT_EQ(removed.count(), 0);

    ASSERT_TRUE(QFile::remove(dir.filePath("s0.img")));
    ASSERT_TRUE(removed.wait(3000));
    EXPECT_EQ(arrived.count(), 1);

    // Moving an image out of the folder removes it; other files mean nothing.
    QTemporaryDir elsewhere;
    ASSERT_TRUE(QFile::rename(dir.filePath("s1.img"), elsewhere.filePath("s1.img")));
    ASSERT_TRUE(removed.wait(3000));
    makeBlankImage(dir.filePath("readme.txt"), 10);
    QTest::qWait(300);
    EXPECT_EQ(arrived.count(), 1);
    EXPECT_EQ(removed.count(), 2);
}

TEST_F(FolderMonitor, SuppressedDiskIsIgnoredUntilItsGraceEnds) {
    const QString image = dir.filePath("job.img");
    ASSERT_TRUE(makeBlankImage(image, 4096));
    DeviceMonitor monitor(options);
    QSignalSpy arrived(&monitor, &DeviceMonitor::volumeArrived);

    monitor.suppressDisk(image, true);
    ASSERT_TRUE(makeBlankImage(image, 8192)); // the job rewrites its disk
    QTest::qWait(300);
    EXPECT_EQ(arrived.count(), 0);

    // Another image during the job is still seen.
    ASSERT_TRUE(makeBlankImage(dir.filePath("other.img"), 4096));
    ASSERT_TRUE(arrived.wait(3000));

    monitor.suppressDisk(image, false);
    QTest::qWait(300); // past the grace period
    arrived.clear();
    ASSERT_TRUE(makeBlankImage(image, 4096));
    EXPECT_TRUE(arrived.wait(3000));
}

} // namespace
