// Closing the window, terminating signals, double clicks and hot-plug while jobs run on
// loop devices.
#include "RealDiskWindow.h"

#include "platform/TerminationSignals.h"

#include <QSignalSpy>
#include <csignal>

using namespace kestrune;
using namespace kestrune::test;

namespace {

class RealDiskClosing : public RealDiskWindowTest {
protected:
    // Two long jobs (35 passes over 256 MiB) that only an abort ends soon.
    void startTwoLongJobs() {
        setAlgorithm(103);
        setFormat(false);
        first = &makeLoopDisk("first.img", 256 << 20);
        second = &makeLoopDisk("second.img", 256 << 20);
        openWindow();
        start(first->device());
        start(second->device());
    }
    void expectEveryReportAborted(int count) {
        const QStringList written = reports();
        ASSERT_EQ(written.size(), count);
        for (const QString& report : written) {
            EXPECT_TRUE(wellFormed(report));
            EXPECT_TRUE(readText(report).contains(QStringLiteral("<result status=\"-3\"")))
                << readText(report).toStdString();
        }
    }
    std::vector<platform::MessageRequest> questions() const {
        std::vector<platform::MessageRequest> found;
        for (const auto& box : messages().boxes())
            if (box.text == text("question_abort_jobs"))
                found.push_back(box);
        return found;
    }

    LoopDisk* first = nullptr;
    LoopDisk* second = nullptr;
};

} // namespace

TEST_F(RealDiskClosing, EscapeAsksAndNoKeepsEveryJobRunning) {
    startTwoLongJobs();
    messages().queueAnswer(platform::ID_NO);
    QTest::keyClick(window.get(), Qt::Key_Escape);
    const auto asked = questions();
    ASSERT_EQ(asked.size(), 1u);
    EXPECT_EQ(asked[0].style, platform::MB_YESNO_STYLE | platform::MB_ICONQUESTION_STYLE |
                                  platform::MB_DEFBUTTON2_STYLE);
    EXPECT_EQ(asked[0].owner, window.get());
    QTest::qWait(500);
    EXPECT_TRUE(window->isVisible());
    EXPECT_EQ(window->jobs().runningCount(), 2);
    EXPECT_EQ(status(first->device()), text("status_processing"));
    // Only the running jobs' records, neither ended.
    EXPECT_EQ(reports().size(), 2);
    for (const QString& report : reports())
        EXPECT_TRUE(readText(report).contains(QStringLiteral("<progress state=\"running\"")));

    // The close box asks the same question.
    messages().queueAnswer(platform::ID_NO);
    window->close();
    EXPECT_EQ(questions().size(), 2u);
    EXPECT_TRUE(window->isVisible());
    EXPECT_EQ(window->jobs().runningCount(), 2);
}

TEST_F(RealDiskClosing, YesAbortsEveryJobAndClosesOnceEachWroteItsReport) {
    startTwoLongJobs();
    QSignalSpy closed(window.get(), &CVSKKestruneDlg::jobsFinishedForClose);
    messages().queueAnswer(platform::ID_YES);
    QTest::keyClick(window.get(), Qt::Key_Return);
    ASSERT_EQ(questions().size(), 1u);
    EXPECT_TRUE(window->isVisible());
    // A loop device on tmpfs stops at once; a slow stick shows the first text for a while.
    for (LoopDisk* disk : {first, second})
        EXPECT_TRUE(status(disk->device()) == text("status_aborting") ||
                    status(disk->device()) == text("status_aborted"))
            << status(disk->device()).toStdString();
    ASSERT_TRUE(closed.wait(20000));
    EXPECT_FALSE(window->isVisible());
    EXPECT_EQ(window->jobs().runningCount(), 0);
    expectEveryReportAborted(2);
    // A further close while nothing runs does not ask again.
    EXPECT_EQ(questions().size(), 1u);
}

TEST_F(RealDiskClosing, ATerminatingSignalAbortsWithoutAskingAndKeepsTheReports) {
    platform::TerminationSignals terminations;
    ASSERT_TRUE(terminations.isActive());
    startTwoLongJobs();
    QObject::connect(&terminations, &platform::TerminationSignals::terminationRequested,
                     window.get(), &CVSKKestruneDlg::closeAbortingJobs);
    QSignalSpy closed(window.get(), &CVSKKestruneDlg::jobsFinishedForClose);
    ASSERT_EQ(::kill(::getpid(), SIGTERM), 0);
    ASSERT_TRUE(closed.wait(20000));
    EXPECT_TRUE(questions().empty());
    EXPECT_FALSE(window->isVisible());
    expectEveryReportAborted(2);
}

TEST_F(RealDiskClosing, WithoutRunningJobsClosingIsImmediate) {
    makeLoopDisk("idle.img", 8 << 20);
    openWindow();
    ASSERT_GE(waitForRowOf(loops.back()->device()), 0);
    QTest::keyClick(window.get(), Qt::Key_Escape);
    EXPECT_FALSE(window->isVisible());
    EXPECT_TRUE(messages().boxes().empty());
}

TEST_F(RealDiskClosing, ADoubleClickStartsTheJobAndAnotherClickAbortsIt) {
    setAlgorithm(103);
    setFormat(false);
    LoopDisk& disk = makeLoopDisk("double.img", 256 << 20);
    openWindow();
    const int row = waitForRowOf(disk.device());
    ASSERT_GE(row, 0);
    clickButton(row);
    QPushButton* button = window->deviceList()->startButtonOfRow(row);
    QTest::mouseDClick(button, Qt::LeftButton); // the second press of a double click
    QTest::mouseRelease(button, Qt::LeftButton);
    ASSERT_TRUE(QTest::qWaitFor([&] { return window->jobs().runningCount() == 1; }, 5000));
    QTest::qWait(1000);
    EXPECT_EQ(window->jobs().runningCount(), 1);
    EXPECT_EQ(status(disk.device()), text("status_processing"));
    EXPECT_EQ(window->deviceList()->startButtonOfRow(row)->text(), text("status_abort"));

    QTest::keyClick(button, Qt::Key_Space); // a press of its own aborts
    EXPECT_EQ(status(disk.device()), text("status_aborting"));
    ASSERT_TRUE(waitUntilNoJobRuns(20000));
    EXPECT_EQ(status(disk.device()), text("status_aborted"));
    expectEveryReportAborted(1);
}

// The list follows the kernel's events for loop devices, not the folder: with the folder
// unwatched, attaching turns the image's row into the block device's and detaching back.
TEST_F(RealDiskClosing, AttachingAndDetachingFollowTheKernelsEvents) {
    const QString image = makeImage("plugged.img", 8 << 20);
    platform::DeviceMonitorOptions options = platform::DeviceMonitorOptions::fromEnvironment();
    options.watchSimulatedFolder = false;
    window = std::make_unique<CVSKKestruneDlg>();
    window->setDeviceMonitorOptions(options);
    ASSERT_TRUE(window->OnInitDialog());
    window->show();
    ASSERT_GE(waitForRowOf(image), 0);

    loops.push_back(std::make_unique<LoopDisk>(image));
    ASSERT_TRUE(loops.back()->attached());
    const QString device = loops.back()->device();
    EXPECT_GE(waitForRowOf(device, 5000), 0);
    EXPECT_EQ(window->listModel()->rowCount(), 1);

    ASSERT_TRUE(loops.back()->detach());
    EXPECT_GE(waitForRowOf(image, 5000), 0);
    EXPECT_EQ(rowOf(device), -1);
    EXPECT_EQ(window->listModel()->rowCount(), 1);
}

// Without udev events (the monitor cannot be opened), the list still follows hot-plug by
// reading the system's tables, and says so.
TEST_F(RealDiskClosing, WithoutKernelEventsTheListStillFollowsHotPlug) {
    const QString image = makeImage("polled.img", 8 << 20);
    platform::DeviceMonitorOptions options = platform::DeviceMonitorOptions::fromEnvironment();
    options.watchSimulatedFolder = false;
    options.udevSource = QStringLiteral("no-such-event-source");
    window = std::make_unique<CVSKKestruneDlg>();
    window->setDeviceMonitorOptions(options);
    ASSERT_TRUE(window->OnInitDialog());
    window->show();
    ASSERT_GE(waitForRowOf(image), 0);

    loops.push_back(std::make_unique<LoopDisk>(image));
    ASSERT_TRUE(loops.back()->attached());
    EXPECT_GE(waitForRowOf(loops.back()->device(), 5000), 0);
    ASSERT_TRUE(loops.back()->detach());
    EXPECT_GE(waitForRowOf(image, 5000), 0);
}
