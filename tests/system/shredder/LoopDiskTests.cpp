// The engine on loop devices: a mounted one it unmounts, and one the disk service opened
// exclusively and handed over.
#include "EngineDisks.h"
#include "RealDisks.h"
#include "shredengine/DiskAccess.h"

#include <QDir>
#include <QFileInfo>
#include <QTemporaryDir>
#include <fcntl.h>
#include <fstream>
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace kestrune::engine;
using namespace kestrune::blockio;
using namespace kestrune::test::engine_disks;

namespace {

// A loop device over an image on tmpfs, with a file system on it, mounted in a mount
// namespace of the test's own: neither outlives the test, whatever ends it.
class MountedLoop : public ::testing::Test {
protected:
    void SetUp() override {
        if (const QString reason = kestrune::test::loopDevicesUnavailable(); !reason.isEmpty())
            GTEST_SKIP() << reason.toStdString();
        if (const QString reason = kestrune::test::enterPrivateMountNamespace(); !reason.isEmpty())
            GTEST_SKIP() << reason.toStdString();
        image_ = makeImage(dir_.path(), "loop.img", 16 << 20, 'L').toStdString();
        loopDisk_ = std::make_unique<kestrune::test::LoopDisk>(QString::fromStdString(image_));
        if (!loopDisk_->attached())
            GTEST_SKIP() << "losetup failed: " << loopDisk_->error().toStdString();
        loop_ = loopDisk_->device().toStdString();
        mountPoint_ = dir_.path().toStdString() + "/mnt";
        QDir().mkpath(QString::fromStdString(mountPoint_));
        if (!kestrune::test::makeExt4(loopDisk_->device()) ||
            mount(loop_.c_str(), mountPoint_.c_str(), "ext4", 0, nullptr) != 0)
            GTEST_SKIP() << "cannot mount a file system on " << loop_;
        std::ofstream(mountPoint_ + "/secret.txt") << "secret";
    }
    void TearDown() override {
        if (!mountPoint_.empty())
            umount2(mountPoint_.c_str(), MNT_DETACH);
    }
    KestruneDiskIdentity identity() {
        KestruneDiskIdentity id{};
        std::snprintf(id.path, sizeof id.path, "%s", loop_.c_str());
        struct stat st {};
        EXPECT_EQ(stat(id.path, &st), 0);
        id.devt = st.st_rdev;
        DiskFacts facts = readDiskFacts("/sys", st.st_rdev);
        id.diskseq = facts.diskseq;
        return id;
    }
    bool mounted() {
        std::ifstream info("/proc/self/mountinfo");
        std::string line;
        while (std::getline(info, line)) {
            if (line.find(" " + mountPoint_ + " ") != std::string::npos)
                return true;
        }
        return false;
    }

    QTemporaryDir dir_{QFileInfo::exists("/dev/shm") ? "/dev/shm/kestrune-XXXXXX" : QString()};
    std::unique_ptr<kestrune::test::LoopDisk> loopDisk_;
    std::string image_, loop_, mountPoint_;
};

} // namespace

TEST_F(MountedLoop, RefusedByTheFullRuleBecauseALoopIsNotRemovable) {
    KestruneDiskIdentity id = identity();
    int32_t number = kestrune_disk_number_acquire(&id);
    ASSERT_GE(number, 0);
    EXPECT_EQ(shredDiskNumber(number, ALGORITHM_ZERO, nullptr, nullptr, nullptr),
              SHRED_STATUS_FAILED_MEDIA);
    EXPECT_TRUE(mounted());
    kestrune_disk_number_release(number);
}

TEST_F(MountedLoop, AChangedDiskseqMeansNothingIsWritten) {
    KestruneDiskIdentity id = identity();
    id.diskseq += 1000;
    DiskAccessOptions options;
    options.requireRemovable = false;
    EXPECT_EQ(shredDisk(id, 0, ALGORITHM_ZERO, nullptr, nullptr, nullptr, options),
              SHRED_STATUS_FAILED_MEDIA);
    EXPECT_TRUE(mounted());
}

TEST_F(MountedLoop, UnmountsShredsAndVerifies) {
    KestruneDiskIdentity id = identity();
    int32_t number = kestrune_disk_number_acquire(&id);
    ASSERT_GE(number, 0);
    DiskAccessOptions options;
    options.requireRemovable = false;
    std::vector<Status> statuses;
    EXPECT_EQ(shredDiskNumber(number, ALGORITHM_THREE_PASS, record, &statuses, nullptr, options),
              SHRED_STATUS_SHREDDED);
    kestrune_disk_number_release(number);
    EXPECT_FALSE(mounted());
    QByteArray content = readAll(QString::fromStdString(image_));
    EXPECT_EQ(content.size(), 16 << 20);
    EXPECT_TRUE(looksRandom(content));
    EXPECT_FALSE(content.contains("secret"));
    ASSERT_FALSE(statuses.empty());
    EXPECT_EQ(lastProgress(statuses).status, 100);
    expectGenuineFindings(statuses, 16 << 20);
}

namespace {

// Two loop devices, the first one opened exclusively the way the disk service opens it for
// a normal user.
class HandedLoop : public ::testing::Test {
protected:
    void SetUp() override {
        if (const QString reason = kestrune::test::loopDevicesUnavailable(); !reason.isEmpty())
            GTEST_SKIP() << reason.toStdString();
        first = std::make_unique<kestrune::test::LoopDisk>(makeImage(dir.path(), "a.img", 4 << 20));
        second =
            std::make_unique<kestrune::test::LoopDisk>(makeImage(dir.path(), "b.img", 4 << 20));
        ASSERT_TRUE(first->attached() && second->attached());
        service = ::open(first->device().toLocal8Bit().constData(),
                         O_RDWR | O_EXCL | O_DIRECT | O_CLOEXEC);
        ASSERT_GE(service, 0);
        options.requireRemovable = false;
    }
    void TearDown() override {
        if (service >= 0)
            ::close(service);
    }
    static KestruneDiskIdentity identityOf(const kestrune::test::LoopDisk& loop) {
        KestruneDiskIdentity id{};
        std::snprintf(id.path, sizeof id.path, "%s", loop.device().toLocal8Bit().constData());
        struct stat st {};
        EXPECT_EQ(stat(id.path, &st), 0);
        id.devt = st.st_rdev;
        id.diskseq = readDiskFacts("/sys", st.st_rdev).diskseq;
        return id;
    }
    QString image(const char* name) const { return dir.filePath(QString::fromLatin1(name)); }

    QTemporaryDir dir{QFileInfo::exists("/dev/shm") ? "/dev/shm/kestrune-XXXXXX" : QString()};
    std::unique_ptr<kestrune::test::LoopDisk> first, second;
    int service = -1;
    DiskAccessOptions options;
};

} // namespace

TEST_F(HandedLoop, TheEngineWritesThroughTheHandedDescriptorAndLeavesTheOriginalOpen) {
    KestruneDiskIdentity id = identityOf(*first);
    const int32_t number = kestrune_disk_number_acquire(&id);
    ASSERT_GE(number, 0);
    // Held exclusively by the service, the disk can only be written through its descriptor.
    ASSERT_EQ(kestrune_disk_number_hand_over(number, fcntl(service, F_DUPFD_CLOEXEC, 0)), 1);
    options.lockWait = std::chrono::milliseconds(200);
    EXPECT_EQ(shredDiskNumber(number, ALGORITHM_ZERO, nullptr, nullptr, nullptr, options),
              SHRED_STATUS_SHREDDED);
    EXPECT_EQ(kestrune_disk_number_take(number), -1);
    EXPECT_EQ(readAll(image("a.img")), QByteArray(4 << 20, '\0'));
    // The service's own descriptor still holds the disk.
    EXPECT_EQ(fcntl(service, F_GETFD), FD_CLOEXEC);
    EXPECT_LT(::open(first->device().toLocal8Bit().constData(), O_RDWR | O_EXCL), 0);
    // Without a handed descriptor the same disk is held by another program.
    EXPECT_EQ(shredDiskNumber(number, ALGORITHM_ZERO, nullptr, nullptr, nullptr, options),
              SHRED_STATUS_FAILED_HELD);
    kestrune_disk_number_release(number);
}

TEST_F(HandedLoop, AHandedDescriptorPassesTheSameChecksAsAnOpen) {
    options.descriptor = service;
    std::unique_ptr<OpenDisk> disk;
    // Another medium on the node, another disk's identity, a descriptor not open for writing.
    KestruneDiskIdentity changed = identityOf(*first);
    changed.diskseq += 1000;
    EXPECT_EQ(openDiskForWriting(changed, options, true, disk), DiskAccess::Gone);
    EXPECT_EQ(openDiskForWriting(identityOf(*second), options, true, disk), DiskAccess::Gone);
    const int readOnly = ::open(first->device().toLocal8Bit().constData(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(readOnly, 0);
    options.descriptor = readOnly;
    EXPECT_EQ(openDiskForWriting(identityOf(*first), options, true, disk),
              DiskAccess::NoPermission);
    ::close(readOnly);
    EXPECT_FALSE(disk);
    EXPECT_EQ(readAll(image("a.img")), QByteArray(4 << 20, 'K'));
    EXPECT_EQ(readAll(image("b.img")), QByteArray(4 << 20, 'K'));

    // The format opens it buffered: O_DIRECT goes off on the open file they share.
    options.descriptor = service;
    ASSERT_EQ(openDiskForWriting(identityOf(*first), options, false, disk), DiskAccess::Granted);
    EXPECT_FALSE(disk->device().direct());
    EXPECT_EQ(fcntl(service, F_GETFL) & O_DIRECT, 0);
}
