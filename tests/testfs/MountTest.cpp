#include "DirectIo.h"
#include "RealDisks.h"
#include "TestFileSystem.h"

#include <QFileInfo>
#include <QProcess>
#include <atomic>
#include <chrono>
#include <csignal>
#include <gtest/gtest.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <thread>
#include <unistd.h>

using namespace kestrune::test;

namespace {

bool processGone(qint64 pid) {
    return ::kill(static_cast<pid_t>(pid), 0) == -1 && errno == ESRCH;
}

TEST(TestFsMount, NothingIsLeftBehind) {
    KESTRUNE_SKIP_WITHOUT_TESTFS();
    QString mountDir;
    qint64 pid = 0;
    {
        TestFileSystem fs;
        ASSERT_TRUE(fs.mounted()) << fs.error().toStdString();
        mountDir = fs.mountDir();
        pid = fs.processId();
        EXPECT_TRUE(TestFileSystem::isMountPoint(mountDir));
        ASSERT_TRUE(fs.stall(true));
        EXPECT_TRUE(QFileInfo::exists(fs.stallFlag()));
    }
    EXPECT_FALSE(TestFileSystem::isMountPoint(mountDir));
    EXPECT_FALSE(QFileInfo::exists(QFileInfo(mountDir).path()));
    EXPECT_TRUE(processGone(pid));
}

TEST(TestFsMount, AMountWhoseProcessDiedIsRemovedToo) {
    KESTRUNE_SKIP_WITHOUT_TESTFS();
    QString mountDir;
    {
        TestFileSystem fs;
        ASSERT_TRUE(fs.mounted()) << fs.error().toStdString();
        mountDir = fs.mountDir();
        ASSERT_EQ(::kill(static_cast<pid_t>(fs.processId()), SIGKILL), 0);
        // Killed, it could not unmount: the mount stays until the helper removes it.
        EXPECT_TRUE(TestFileSystem::isMountPoint(mountDir));
    }
    EXPECT_FALSE(TestFileSystem::isMountPoint(mountDir));
}

// What a test program killed mid-stall relies on: nobody removes the flag, yet the tool ends.
TEST(TestFsMount, ASignalEndsTheToolWhileARequestIsStalled) {
    KESTRUNE_SKIP_WITHOUT_TESTFS();
    std::atomic<ssize_t> result{0};
    std::jthread writer;
    TestFileSystemOptions options;
    options.directIo = true;
    TestFileSystem fs(options);
    ASSERT_TRUE(fs.mounted()) << fs.error().toStdString();
    const Descriptor fd = openDirect(fs.imagePath());
    ASSERT_TRUE(fd.valid()) << lastError().toStdString();
    ASSERT_TRUE(fs.stall(true));
    const AlignedBlock block = AlignedBlock::pattern(64 * KiB, 8);
    writer = std::jthread([&] { result = writeAt(fd, block, 0); });
    std::this_thread::sleep_for(std::chrono::milliseconds(200));

    ASSERT_EQ(::kill(static_cast<pid_t>(fs.processId()), SIGTERM), 0);
    while (TestFileSystem::isMountPoint(fs.mountDir()))
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    writer.join();
    EXPECT_EQ(result, -1) << "a request the device never answered fails";
    EXPECT_TRUE(QFileInfo::exists(fs.stallFlag()));
}

TEST(TestFsMount, BadOptionsAreReportedWithTheirReason) {
    KESTRUNE_SKIP_WITHOUT_TESTFS();
    TestFileSystemOptions options;
    options.size = MiB;
    options.usable = 2 * MiB;
    TestFileSystem tooMuch(options);
    EXPECT_FALSE(tooMuch.mounted());
    EXPECT_TRUE(tooMuch.error().contains("--usable cannot be more than --size"))
        << tooMuch.error().toStdString();
    EXPECT_FALSE(TestFileSystem::isMountPoint(tooMuch.mountDir()));

    options.usable = 0;
    options.fileName = QStringLiteral("sub/disk.img");
    TestFileSystem badName(options);
    EXPECT_FALSE(badName.mounted());
    EXPECT_TRUE(badName.error().contains("--file needs a plain file name, not 'sub/disk.img'"))
        << badName.error().toStdString();
}

TEST(TestFsMount, ALoopDeviceWritesThroughToTheImage) {
    KESTRUNE_SKIP_WITHOUT_TESTFS();
    if (!QFileInfo::exists(QStringLiteral("/dev/loop-control")))
        GTEST_SKIP() << "no loop devices";
    TestFileSystemOptions options;
    options.size = 16 * MiB;
    options.usable = 4 * MiB;
    TestFileSystem fs(options);
    ASSERT_TRUE(fs.mounted()) << fs.error().toStdString();
    const kestrune::test::LoopDisk loop(fs.imagePath());
    if (!loop.attached())
        GTEST_SKIP() << "losetup failed: " << loop.error().toStdString();

    const Descriptor device = openDirect(loop.device());
    ASSERT_TRUE(device.valid()) << lastError().toStdString();
    std::uint64_t deviceSize = 0;
    ASSERT_EQ(::ioctl(device.get(), BLKGETSIZE64, &deviceSize), 0);
    EXPECT_EQ(deviceSize, 16 * MiB) << "the loop device claims the full size";
    const AlignedBlock marker = AlignedBlock::pattern(64 * KiB, 9);
    ASSERT_EQ(writeAt(device, marker, 12 * MiB + 64 * KiB), ssize_t(marker.size()))
        << lastError().toStdString();
    ASSERT_EQ(::fsync(device.get()), 0);

    const Descriptor image = openDirect(fs.imagePath(), O_RDONLY);
    ASSERT_TRUE(image.valid()) << lastError().toStdString();
    AlignedBlock back(64 * KiB);
    ASSERT_EQ(readAt(image, back, 64 * KiB), ssize_t(back.size()));
    EXPECT_TRUE(back.sameAs(marker)) << "the marker wrapped onto the start";
}

} // namespace
