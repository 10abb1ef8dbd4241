// Disks that are slow or stop answering, made with the FUSE test file system: an abort in
// every phase of a job takes effect at once, a stuck disk never keeps the program from
// ending nor loses its report, and a stick whose probe hangs never stalls hot-plug.
#include "TestFileSystemWindow.h"

#include <QElapsedTimer>
#include <QSignalSpy>
#include <sched.h>
#include <sys/mount.h>

using namespace kestrune;
using namespace kestrune::test;

namespace {

class SlowDisk : public TestFileSystemWindowTest {
protected:
    static TestFileSystemOptions throttled() {
        TestFileSystemOptions options;
        options.size = 16 << 20;
        options.rate = 8 << 20; // each pass over the disk takes two seconds
        options.directIo = true;
        options.fileName = QStringLiteral("slow.img");
        return options;
    }
    int progress(const QString& device) const {
        const int row = rowOf(device);
        return row < 0 ? -1 : window->listModel()->rowProgress(row);
    }
    // Aborts once phase() holds and expects the job to end at once, aborted, with its
    // report saying so.
    void abortWhen(const QString& device, const std::function<bool()>& phase,
                   const char* expectedInReport) {
        ASSERT_TRUE(QTest::qWaitFor(phase, 30000))
            << "phase not reached, at " << progress(device) << " %";
        const int row = rowOf(device);
        QPushButton* button = window->deviceList()->startButtonOfRow(row);
        ASSERT_NE(button, nullptr);
        EXPECT_EQ(button->text(), text("status_abort"));
        EXPECT_TRUE(button->isEnabled());
        QElapsedTimer sinceAbort;
        sinceAbort.start();
        clickButton(row);
        ASSERT_TRUE(QTest::qWaitFor([&] { return window->jobs().runningCount() == 0; }, 10000));
        // A generous bound for "within about a second" on a busy machine.
        EXPECT_LT(sinceAbort.elapsed(), 3000);
        QTest::qWait(200);
        EXPECT_EQ(status(device), text("status_aborted"));
        const QStringList written = reports();
        ASSERT_EQ(written.size(), 1);
        EXPECT_TRUE(wellFormed(written[0]));
        const QString body = readText(written[0]);
        EXPECT_TRUE(body.contains(QStringLiteral("<result status=\"-3\""))) << body.toStdString();
        EXPECT_TRUE(body.contains(QString::fromLatin1(expectedInReport))) << body.toStdString();
    }
};

} // namespace

TEST_F(SlowDisk, AnAbortDuringTheOverwriteTakesEffectAtOnce) {
    setAlgorithm(100);
    setFormat(false);
    LoopDisk& disk = attachRig(throttled());
    openWindow();
    start(disk.device());
    // The zero pass fills the first half of the bar, its read-back the second.
    abortWhen(
        disk.device(), [&] { return progress(disk.device()) >= 5 && progress(disk.device()) < 40; },
        "iscleaned=\"0\"");
}

TEST_F(SlowDisk, AnAbortDuringTheVerificationTakesEffectAtOnce) {
    setAlgorithm(100);
    setFormat(false);
    LoopDisk& disk = attachRig(throttled());
    openWindow();
    start(disk.device());
    abortWhen(
        disk.device(),
        [&] { return progress(disk.device()) >= 55 && progress(disk.device()) < 90; },
        "iscleaned=\"0\"");
}

TEST_F(SlowDisk, AnAbortWhileTheFormatZeroesThePartitionTakesEffectAtOnce) {
    // Random data, not zeros: after zeros read back from the whole stick there is no zeroing.
    setAlgorithm(101);
    setFormat(true);
    TestFileSystemOptions options = throttled();
    options.rate = 4 << 20; // the zeroing lasts four seconds, long enough to catch it
    LoopDisk& disk = attachRig(options);
    openWindow();
    start(disk.device());
    // The shred succeeded; the format's zeroing shows its own progress from the start.
    abortWhen(
        disk.device(),
        [&] {
            return status(disk.device()) == text("status_formating") &&
                   progress(disk.device()) >= 5 && progress(disk.device()) < 90;
        },
        "iscleaned=\"1\" isformatted=\"0\"");
    // No file system was made: the stick is shredded, but not formatted.
    EXPECT_NE(checkFileSystemAt(rig->imagePath(), 1 << 20, 15 << 20).label, "SHREDDED");
}

// A disk that stops answering in the middle of a write: closing aborts, waits its bound,
// then names the disk, writes its report as aborted and ends; the job, once the disk
// answers again, writes no second report.
TEST_F(SlowDisk, ClosingWithAStuckDiskNamesItWritesItsReportAndEnds) {
    setAlgorithm(101);
    setFormat(false);
    TestFileSystemOptions options;
    options.size = 64 << 20;
    options.directIo = true;
    options.stallWhat = TestFileSystemOptions::StallWhat::Writes;
    options.fileName = QStringLiteral("stuck.img");
    LoopDisk& disk = attachRig(options);
    openWindow();
    window->setCloseWait(std::chrono::seconds(3));
    ASSERT_TRUE(rig->stall(true));
    start(disk.device());
    ASSERT_TRUE(QTest::qWaitFor([&] { return rig->holdsARequest(); }, 10000));
    ASSERT_EQ(window->jobs().runningCount(), 1);

    QSignalSpy closed(window.get(), &CVSKKestruneDlg::jobsFinishedForClose);
    messages().queueAnswer(platform::ID_YES);
    window->close();
    ASSERT_TRUE(closed.wait(15000));
    EXPECT_FALSE(window->isVisible());
    EXPECT_EQ(window->jobs().runningCount(), 1); // still stuck in the kernel

    const QString expected = text("message_jobs_unfinished").left(30);
    bool named = false;
    for (const auto& box : messages().boxes())
        if (box.text.startsWith(expected) && box.text.contains(disk.device()) &&
            box.style == platform::MB_ICONERROR_STYLE)
            named = true;
    EXPECT_TRUE(named);
    QStringList written = reports();
    ASSERT_EQ(written.size(), 1);
    EXPECT_TRUE(wellFormed(written[0]));
    EXPECT_TRUE(readText(written[0]).contains(QStringLiteral("<result status=\"-3\"")));

    // The window goes at once; the job's late reports reach nothing that has gone.
    QElapsedTimer teardown;
    teardown.start();
    window.reset();
    EXPECT_LT(teardown.elapsed(), 5000);
    ASSERT_TRUE(rig->stall(false));
    ASSERT_TRUE(QTest::qWaitFor([] { return ShredJobs::runningInProcess() == 0; }, 20000));
    EXPECT_EQ(reports().size(), 1);
}

// The probe of a stick that does not answer has a time limit: the stick is listed without
// its volume names, and other sticks still come and go at once.
TEST_F(SlowDisk, AStickWhoseProbeHangsNeverStallsHotPlug) {
    TestFileSystemOptions options;
    options.size = 8 << 20;
    options.directIo = true;
    options.stallWhat = TestFileSystemOptions::StallWhat::Reads;
    rig = std::make_unique<TestFileSystem>(options);
    ASSERT_TRUE(rig->mounted()) << rig->error().toStdString();
    // The hanging image sits in the simulated folder beside ordinary ones.
    if (const QString reason = enterPrivateMountNamespace(); !reason.isEmpty())
        GTEST_SKIP() << reason.toStdString();
    const QString slow = disks.filePath(QStringLiteral("hanging.img"));
    ASSERT_TRUE(QFile(slow).open(QIODevice::WriteOnly));
    ASSERT_EQ(::mount(QFile::encodeName(rig->imagePath()).constData(),
                      QFile::encodeName(slow).constData(), nullptr, MS_BIND, nullptr),
              0);
    ASSERT_TRUE(rig->stall(true));

    openWindow();
    ASSERT_GE(waitForRowOf(slow, 10000), 0);
    EXPECT_EQ(window->listModel()->cellText(rowOf(slow), DeviceListModel::NameColumn), QString());

    QElapsedTimer plugged;
    plugged.start();
    const QString quick = makeImage("quick.img", 4 << 20);
    ASSERT_GE(waitForRowOf(quick, 5000), 0);
    EXPECT_LT(plugged.elapsed(), 3000); // about a second, however long the other probe hangs
    ASSERT_TRUE(QFile::remove(quick));
    EXPECT_TRUE(QTest::qWaitFor([&] { return rowOf(quick) < 0; }, 3000));
    EXPECT_GE(rowOf(slow), 0);

    rig->stall(false);
    ::umount2(QFile::encodeName(slow).constData(), MNT_DETACH);
}
