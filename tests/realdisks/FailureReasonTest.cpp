// Each way a job cannot be done names its own reason on the row and in the report: a
// write-protected medium, a disk another program holds, a medium that shrinks or goes
// while it is being written.
#include "RealDiskWindow.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

using namespace kestrune;
using namespace kestrune::test;

namespace {

class FailureReason : public RealDiskWindowTest {
protected:
    void TearDown() override {
        if (!immutable.isEmpty())
            runProgram(QStringLiteral("chattr"), {QStringLiteral("-i"), immutable});
        if (holder >= 0)
            ::close(holder);
        RealDiskWindowTest::TearDown();
    }
    // Starts the disk's job and waits for its end; the row's status then.
    QString runJob(const QString& devicePath) {
        start(devicePath);
        EXPECT_TRUE(waitUntilNoJobRuns());
        return status(devicePath);
    }
    QString onlyReport() const {
        const QStringList written = reports();
        EXPECT_EQ(written.size(), 1);
        if (written.isEmpty())
            return {};
        EXPECT_TRUE(wellFormed(written[0]));
        return readText(written[0]);
    }
    // The row's progress moves once a second, and a fast medium can be shredded by then:
    // the first bytes of the image losing their old contents is the sign that the job writes.
    static bool waitUntilTheStartIsOverwritten(const QString& image) {
        return QTest::qWaitFor(
            [&] {
                QFile file(image);
                return file.open(QIODevice::ReadOnly) && !file.read(4096).contains(kSecret);
            },
            30000);
    }

    QString immutable;
    int holder = -1;
};

} // namespace

TEST_F(FailureReason, AReadOnlyDeviceIsWriteProtectedNotAWriteError) {
    const QString image = makeImage("locked.img", 8 << 20);
    LoopDisk::Options readOnly;
    readOnly.readOnly = true;
    loops.push_back(std::make_unique<LoopDisk>(image, readOnly));
    ASSERT_TRUE(loops.back()->attached());
    setFormat(false);
    openWindow();
    EXPECT_EQ(runJob(loops.back()->device()), text("status_failed_write_protected"));
    EXPECT_TRUE(holdsSecret(image));
    EXPECT_TRUE(onlyReport().contains(QStringLiteral("<result status=\"-15\"")));
}

TEST_F(FailureReason, AnImmutableImageIsWriteProtectedEvenForTheAdministrator) {
    const QString image = makeImage("sealed.img", 4 << 20);
    if (runProgram(QStringLiteral("chattr"), {QStringLiteral("+i"), image}) != 0)
        GTEST_SKIP() << "this file system has no immutable files";
    immutable = image;
    setFormat(false);
    openWindow();
    EXPECT_EQ(runJob(image), text("status_failed_write_protected"));
    EXPECT_TRUE(holdsSecret(image));
}

// A second instance of the program shredding the disk holds it exclusively; a second
// instance shredding an image holds its lock.
TEST_F(FailureReason, ADiskAnotherProgramHoldsSaysSoNotThatAPartitionStayedMounted) {
    LoopDisk& disk = makeLoopDisk("held.img", 8 << 20);
    holder = ::open(QFile::encodeName(disk.device()).constData(), O_RDWR | O_EXCL | O_CLOEXEC);
    ASSERT_GE(holder, 0);
    setFormat(false);
    openWindow();
    EXPECT_EQ(runJob(disk.device()), text("status_failed_held"));
    EXPECT_TRUE(holdsSecret(disks.filePath(QStringLiteral("held.img"))));
    ::close(holder);
    holder = -1;

    const QString image = makeImage("locked.img", 4 << 20);
    holder = ::open(QFile::encodeName(image).constData(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(holder, 0);
    ASSERT_EQ(::flock(holder, LOCK_EX), 0);
    EXPECT_EQ(runJob(image), text("status_failed_held"));
    EXPECT_TRUE(holdsSecret(image));
}

TEST_F(FailureReason, AnImageThatGoesMidJobIsAMediaFailure) {
    setAlgorithm(103);
    setFormat(false);
    const QString image = makeImage("vanishing.img", 64 << 20);
    openWindow();
    start(image);
    ASSERT_TRUE(waitUntilTheStartIsOverwritten(image));
    ASSERT_TRUE(QFile::remove(image));
    ASSERT_TRUE(waitUntilNoJobRuns());
    const QString body = onlyReport();
    EXPECT_TRUE(body.contains(QStringLiteral("<result status=\"-4\""))) << body.toStdString();
}
