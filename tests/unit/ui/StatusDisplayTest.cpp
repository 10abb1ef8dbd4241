#include "LanguageChoice.h"
#include "TestSupport.h"
#include "cli/ProgressLines.h"
#include "controls/CListCtrlEx.h"
#include "devices/DeviceListModel.h"
#include "devices/DeviceTable.h"
#include "devices/ScanDevices.h"
#include "lang/LanguageManager.h"
#include "shred/CVSKRMShredThread.h"
#include "shred/JobRows.h"
#include "shred/ShredStatusDisplay.h"

#include <QCoreApplication>
#include <QPushButton>
#include <gtest/gtest.h>
#include <kestrune/shred_abi.h>
#include <thread>

using namespace kestrune;

namespace {

// A row with its record and its real controls, the language files of the build loaded, and
// a clock the test moves by hand.
class StatusDisplay : public ::testing::TestWithParam<const char*> {
protected:
    void SetUp() override {
        test::registerComponentDirectory(QStringLiteral("VSKLanguage.dll"), test::binDir());
        test::chooseLanguage(QString::fromLatin1(GetParam()));
        language = GetLanguageManager();
        ASSERT_TRUE(language->HasLanguages()) << "language components not built";
        ASSERT_FALSE(text("status_shredded").isEmpty());
        rows = std::make_shared<JobRows>(table, list, language);
        view.resize(900, 200);
        view.setColumnCount(DeviceListModel::kColumnCount);
        view.SetStartColumn(DeviceListModel::StartColumn);
        view.SetProgressColumn(DeviceListModel::ProgressColumn);
        view.SetDeviceModel(list.get());
        list->attach(&view, &view);
        table->insertSorted(3);
        record = table->findByDeviceNumber(3);
        list->insertRow(0, record);
        view.show();
        startJob();
    }
    void TearDown() override {
        list->attach(nullptr, nullptr);
        job.reset();
        rows.reset();
        language.reset();
        ReleaseLanguageManager();
    }

    // What Start does before the worker runs.
    void startJob() {
        record->setState(JobState::Running);
        job = std::make_shared<CVSKRMShredThread>(
            record, 101, JobClock{[this] { return now; }, [this] { return nowMs; }});
        job->addObserver(rows);
        rows->jobStarting(job);
    }
    // What the engine reports, as it reports it.
    void report(int status, std::int64_t bytesLeft = 0, double speed = 0.0,
                std::int64_t second = 0) {
        if (const auto event = engineEventOf(status, bytesLeft, second, speed))
            job->take(*event);
    }
    QString cell(int column) const { return list->cellText(0, column); }
    JobProgress progress() const { return job->progress(); }
    QString text(const char* key) const { return language->GetString(QString::fromLatin1(key)); }
    QPushButton* button() {
        QCoreApplication::processEvents();
        view.viewport()->repaint();
        QCoreApplication::processEvents();
        return view.startButtonOfRow(0);
    }

    // The language chosen is stored beside the hives: never in the user's own folder.
    test::ScopedRegistry registry;
    std::shared_ptr<DeviceTable> table = std::make_shared<DeviceTable>();
    std::shared_ptr<DeviceListModel> list = std::make_shared<DeviceListModel>();
    CListCtrlEx view;
    std::shared_ptr<LanguageManager> language;
    std::shared_ptr<JobRows> rows;
    std::shared_ptr<CVSKRMShredThread> job;
    std::int64_t now = 1'000'000;
    std::int64_t nowMs = 5'000;
    std::shared_ptr<DeviceRecord> record;
};

INSTANTIATE_TEST_SUITE_P(Languages, StatusDisplay, ::testing::Values("NTV", "DE"),
                         [](const auto& param) { return std::string(param.param); });

} // namespace

TEST(TimeSpan, FullHoursBeyondADayAndTwoDigitsBelow) {
    EXPECT_EQ(FormatTimeSpan(59), QStringLiteral("00:00:59"));
    EXPECT_EQ(FormatTimeSpan(86399), QStringLiteral("23:59:59"));
    EXPECT_EQ(FormatTimeSpan(90061), QStringLiteral("25:01:01"));
    EXPECT_EQ(FormatTimeSpan(83 * 3600 + 12 * 60 + 5), QStringLiteral("83:12:05"));
    EXPECT_EQ(FormatTimeSpan(1000 * 3600), QStringLiteral("1000:00:00"));
    EXPECT_EQ(FormatTimeSpan(0), QStringLiteral("00:00:00"));
    EXPECT_EQ(FormatTimeSpan(-5), QStringLiteral("00:00:00"));
}

TEST(SpeedText, HundredthsBelow100AndWholeNumbersAbove) {
    EXPECT_EQ(FormatSpeed(0.0), QStringLiteral("0.00 MB/s"));
    EXPECT_EQ(FormatSpeed(3.0), QStringLiteral("3.00 MB/s"));
    EXPECT_EQ(FormatSpeed(99.99), QStringLiteral("99.99 MB/s"));
    EXPECT_EQ(FormatSpeed(99.996), QStringLiteral("100 MB/s"));
    EXPECT_EQ(FormatSpeed(510.9), QStringLiteral("511 MB/s"));
    EXPECT_EQ(FormatSpeed(12345.4), QStringLiteral("12345 MB/s"));
}

TEST(FailureText, OnlyOneIntegerIsEverRead) {
    EXPECT_EQ(FormatWithOneInteger(QStringLiteral("Failed (%d)"), -7),
              QStringLiteral("Failed (-7)"));
    EXPECT_EQ(FormatWithOneInteger(QStringLiteral("%s %n %d %d %x"), -2),
              QStringLiteral("%s %n -2 %d %x"));
    EXPECT_EQ(FormatWithOneInteger(QStringLiteral("100%% %5d"), 7), QStringLiteral("100%     7"));
    EXPECT_EQ(FormatWithOneInteger(QStringLiteral("trailing %"), 1), QStringLiteral("trailing %"));
    EXPECT_EQ(FormatWithOneText(QStringLiteral("%s (%d%%) %s"), QStringLiteral("a%sb")),
              QStringLiteral("a%sb (%d%) %s"));
}

TEST_P(StatusDisplay, ProgressIsThrottledToOncePerSecond) {
    report(10, 1000, 2.0);
    EXPECT_EQ(list->rowProgress(0), 10);
    report(20, 900, 4.0); // same second: dropped, speed sample too
    EXPECT_EQ(list->rowProgress(0), 10);
    now += 1;
    report(30, 800, 4.0);
    EXPECT_EQ(list->rowProgress(0), 30);
    EXPECT_EQ(progress().speed, 3.0) << "the dropped report's sample counted";
    EXPECT_EQ(cell(DeviceListModel::SpeedColumn), QStringLiteral("3.00 MB/s"));
    EXPECT_EQ(cell(DeviceListModel::ElapsedColumn), QStringLiteral("00:00:01"));
}

// The first report of a job says 0 % at no speed: no sample, no estimate, nothing of the
// job before on the same row.
TEST_P(StatusDisplay, ANewJobStartsFromNothingAndItsFirstReportIsNoSample) {
    report(50, 3600LL * 1048576, 100.0);
    EXPECT_EQ(cell(DeviceListModel::TimeLeftColumn), QStringLiteral("00:00:36"));
    report(SHRED_STATUS_SHREDDED);
    startJob(); // the same second: the new job's first report still shows
    report(0, 7200LL * 1048576, 0.0);
    EXPECT_EQ(cell(DeviceListModel::SpeedColumn), QStringLiteral("0.00 MB/s"));
    EXPECT_EQ(cell(DeviceListModel::TimeLeftColumn), QString());
    EXPECT_EQ(cell(DeviceListModel::ElapsedColumn), QStringLiteral("00:00:00"));
    now += 1;
    report(1, 3600LL * 1048576, 2.0);
    EXPECT_EQ(progress().speed, 2.0) << "the first report was counted as a sample";
    EXPECT_EQ(cell(DeviceListModel::SpeedColumn), QStringLiteral("2.00 MB/s"));
    EXPECT_EQ(cell(DeviceListModel::TimeLeftColumn), QStringLiteral("00:30:00"));
}

TEST_P(StatusDisplay, ADeviceThatStopsShowsNoSpeedAndNoTimeLeftAfterTenSeconds) {
    report(10, 1000 * 1048576LL, 4.0);
    now += 1;
    report(11, 996 * 1048576LL, 4.0);
    EXPECT_EQ(cell(DeviceListModel::TimeLeftColumn), QStringLiteral("00:04:09"));
    // The worker repeats the last progress without a speed while the engine is silent.
    for (int second = 1; second < 10; ++second) {
        now += 1;
        report(11, 996 * 1048576LL, 0.0);
        EXPECT_EQ(cell(DeviceListModel::SpeedColumn), QStringLiteral("4.00 MB/s")) << second;
    }
    now += 1;
    report(11, 996 * 1048576LL, 0.0);
    EXPECT_EQ(cell(DeviceListModel::SpeedColumn), QStringLiteral("0.00 MB/s"));
    EXPECT_EQ(cell(DeviceListModel::TimeLeftColumn), QString());
    EXPECT_TRUE(progress().stalled);
    now += 1;
    report(12, 992 * 1048576LL, 4.0);
    EXPECT_EQ(cell(DeviceListModel::SpeedColumn), QStringLiteral("4.00 MB/s"));
    EXPECT_EQ(cell(DeviceListModel::TimeLeftColumn), QStringLiteral("00:04:08"));
}

TEST_P(StatusDisplay, ALongJobShowsItsFullHours) {
    report(1, 0, 1.0);
    now += 83 * 3600 + 12 * 60 + 5;
    report(99, 25LL * 3600 * 1048576, 1.0);
    EXPECT_EQ(cell(DeviceListModel::ElapsedColumn), QStringLiteral("83:12:05"));
    EXPECT_EQ(cell(DeviceListModel::TimeLeftColumn), QStringLiteral("25:00:00"));
}

TEST_P(StatusDisplay, ShreddedFormattedAndAbortedWithTheirTextsAndButtons) {
    report(100);
    EXPECT_EQ(record->state(), JobState::Running);
    EXPECT_EQ(button()->text(), text("status_abort"));
    report(SHRED_STATUS_SHREDDED);
    EXPECT_EQ(record->state(), JobState::Finished);
    EXPECT_EQ(list->rowProgress(0), 100);
    EXPECT_EQ(cell(DeviceListModel::StatusColumn), text("status_shredded"));
    EXPECT_EQ(cell(DeviceListModel::TimeLeftColumn), QStringLiteral("00:00:00"));
    EXPECT_EQ(button()->text(), text("status_start"));
    EXPECT_TRUE(button()->isEnabled());

    report(SHRED_STATUS_FORMATTING);
    EXPECT_EQ(record->state(), JobState::Running);
    EXPECT_EQ(cell(DeviceListModel::StatusColumn), text("status_formating"));
    EXPECT_EQ(button()->text(), text("status_abort"));
    EXPECT_TRUE(button()->isEnabled()); // the format can be aborted
    report(350);
    EXPECT_EQ(list->rowProgress(0), 50);
    report(SHRED_STATUS_FORMATTED);
    EXPECT_EQ(record->state(), JobState::Finished);
    EXPECT_EQ(list->rowProgress(0), 100);
    EXPECT_EQ(cell(DeviceListModel::StatusColumn), text("status_shredded"));
    EXPECT_EQ(button()->text(), text("status_start"));
    EXPECT_TRUE(button()->isEnabled());

    startJob();
    report(SHRED_STATUS_ABORTED);
    EXPECT_EQ(record->state(), JobState::Aborted);
    EXPECT_EQ(cell(DeviceListModel::StatusColumn), text("status_aborted"));
    EXPECT_EQ(button()->text(), text("status_start"));
}

// The engine reports about every 250 ms; the row takes one report a second. A job done
// before its second report was due showed "0.00 MB/s" for good.
TEST_P(StatusDisplay, AJobDoneWithinASecondShowsItsMeanSpeed) {
    constexpr std::int64_t MiB = 1048576;
    report(0, 16 * MiB, 0.0, 0);
    EXPECT_EQ(cell(DeviceListModel::SpeedColumn), QStringLiteral("0.00 MB/s"));
    nowMs += 400;
    report(50, 8 * MiB, 25.0, 8 * MiB); // the same second: skipped, but its bytes count
    nowMs += 400;
    report(100, 0, 15.0, 16 * MiB);
    nowMs += 1500;
    report(100, 0, 0.0, 16 * MiB); // the worker's repeat while the engine finishes
    EXPECT_EQ(cell(DeviceListModel::SpeedColumn), QStringLiteral("0.00 MB/s"));
    report(SHRED_STATUS_SHREDDED);
    // 16 MiB written and read back in 0.8 s.
    EXPECT_EQ(cell(DeviceListModel::SpeedColumn), QStringLiteral("20.00 MB/s"));

    // With a format after it, the mean is shown when the format begins and kept.
    startJob();
    report(0, 4 * MiB, 0.0, 0);
    nowMs += 200;
    report(100, 0, 30.0, 4 * MiB);
    report(SHRED_STATUS_FORMATTING);
    EXPECT_EQ(cell(DeviceListModel::SpeedColumn), QStringLiteral("20.00 MB/s"));
    nowMs += 3000;
    report(350);
    report(SHRED_STATUS_FORMATTED);
    EXPECT_EQ(cell(DeviceListModel::SpeedColumn), QStringLiteral("20.00 MB/s"));

    // An aborted job shows the speed of what it did; nothing of the job before counts.
    startJob();
    nowMs += 60'000;
    report(0, 10 * MiB, 0.0, 0);
    nowMs += 500;
    report(30, 7 * MiB, 6.0, 3 * MiB);
    report(SHRED_STATUS_ABORTED);
    EXPECT_EQ(cell(DeviceListModel::SpeedColumn), QStringLiteral("6.00 MB/s"));
}

TEST_P(StatusDisplay, ALongJobEndsWithItsMeanSpeedNotTheMeanOfItsSamples) {
    constexpr std::int64_t MiB = 1048576;
    report(0, 100 * MiB, 0.0, 0);
    for (int second = 1; second <= 10; ++second) {
        now += 1;
        nowMs += 1000;
        // Fast while the stick's cache takes it, then slow.
        report(second * 10, (10 - second) * 10 * MiB, second <= 2 ? 40.0 : 5.0, second * 10 * MiB);
    }
    EXPECT_EQ(cell(DeviceListModel::SpeedColumn), QStringLiteral("12.00 MB/s"));
    report(SHRED_STATUS_SHREDDED);
    EXPECT_EQ(cell(DeviceListModel::SpeedColumn), QStringLiteral("10.00 MB/s"));
}

TEST_P(StatusDisplay, AJobThatFailedBeforeWritingKeepsItsSpeedColumn) {
    report(0, 10, 0.0, 0);
    report(SHRED_STATUS_FAILED_BUSY);
    EXPECT_EQ(cell(DeviceListModel::SpeedColumn), QStringLiteral("0.00 MB/s"));
    EXPECT_EQ(MeanSpeed(0, 1000), 0.0);
    EXPECT_EQ(MeanSpeed(1048576, 0), 0.0);
    EXPECT_DOUBLE_EQ(MeanSpeed(3 * 1048576, 1500), 2.0);
}

TEST_P(StatusDisplay, EveryFailureSaysWhyAndTheButtonOffersStartAgain) {
    const std::pair<int, const char*> failures[] = {
        {SHRED_STATUS_FAILED_MEDIA, "status_failed_media"},
        {SHRED_STATUS_FAILED_WRITE, "status_failed_write_error"},
        {SHRED_STATUS_FAILED_PERMISSION, "status_failed_permission"},
        {SHRED_STATUS_FAILED_FORMAT, "status_failed_format"},
        {SHRED_STATUS_FAILED_VERIFY, "status_failed_verify"},
        {SHRED_STATUS_FAILED_BUSY, "status_failed_busy"},
        {SHRED_STATUS_FAILED_SYSTEM_DISK, "status_failed_system_disk"},
        {SHRED_STATUS_FAILED_WRITE_PROTECTED, "status_failed_write_protected"},
        {SHRED_STATUS_FAILED_HELD, "status_failed_held"},
    };
    for (const auto& [status, key] : failures) {
        startJob();
        list->DisableStartButton(3);
        if (status == SHRED_STATUS_FAILED_FORMAT)
            report(SHRED_STATUS_FORMATTING); // the job's own format failed
        report(status);
        EXPECT_EQ(record->state(), JobState::Finished) << key;
        EXPECT_EQ(cell(DeviceListModel::StatusColumn), text(key)) << key;
        EXPECT_FALSE(text(key).contains(u'%')) << key;
        EXPECT_EQ(button()->text(), text("status_start")) << key;
        EXPECT_TRUE(button()->isEnabled()) << key;
    }
    startJob();
    report(-99); // a code without a text of its own
    EXPECT_EQ(cell(DeviceListModel::StatusColumn),
              FormatWithOneInteger(text("status_failed"), -99));
    EXPECT_TRUE(cell(DeviceListModel::StatusColumn).contains(QStringLiteral("-99")));
}

TEST_P(StatusDisplay, AnEndedJobShowsWhatWasDoneAndOnlyItsOwnFormatFailsAsOne) {
    const QString engineCode = FormatWithOneInteger(text("status_failed"), -7);
    const QString fake = FormatWithOneText(text("status_failed_counterfeit"), "0.00 B");
    const std::tuple<std::vector<int>, int, QString> cases[] = {
        {{0, 60, -7}, 60, engineCode}, // every report within the first second
        {{0, 100, 300, 301, -7}, 100, text("status_failed_format")},
        {{0, 100, 0, 40, -14}, 100, fake}};
    for (const auto& [reports, bar, status] : cases) {
        startJob();
        for (int code : reports)
            report(code);
        EXPECT_EQ(list->rowProgress(0), bar) << status.toStdString();
        EXPECT_EQ(cell(DeviceListModel::StatusColumn), status);
    }
}

TEST_P(StatusDisplay, ACounterfeitStickSaysHowMuchItReallyHolds) {
    report(100, 0, 8.0);
    report(SHRED_STATUS_FAILED_COUNTERFEIT, 0, 0.0, 8000000000LL);
    const QString status = cell(DeviceListModel::StatusColumn);
    EXPECT_EQ(status,
              FormatWithOneText(text("status_failed_counterfeit"), QStringLiteral("7.45 GB")));
    EXPECT_TRUE(status.contains(QStringLiteral("7.45 GB"))) << status.toStdString();
    EXPECT_EQ(record->state(), JobState::Finished);
    EXPECT_EQ(button()->text(), text("status_start"));
    // The status column grew to show it whole.
    EXPECT_GE(view.columnWidth(DeviceListModel::StatusColumn),
              view.fontMetrics().horizontalAdvance(status));
}

TEST_P(StatusDisplay, FindingsAreNotProgressAndAReportNotSavedIsSaidOnTheRow) {
    report(40, 600, 3.0);
    report(SHRED_FINDING_CAPACITY, 0, 0.0, 123456);
    report(SHRED_FINDING_VERIFIED);
    report(SHRED_FINDING_VERIFY_MISMATCH, 0, 0.0, 77);
    EXPECT_EQ(list->rowProgress(0), 40);
    EXPECT_EQ(record->state(), JobState::Running);
    report(SHRED_STATUS_SHREDDED);
    job->settleDocuments(DocumentsEvent{.reportNotSaved = true});
    EXPECT_EQ(cell(DeviceListModel::StatusColumn),
              FormatWithOneText(text("status_report_not_saved"), text("status_shredded")));
    EXPECT_NE(cell(DeviceListModel::StatusColumn), text("status_shredded"));
    EXPECT_EQ(record->state(), JobState::Finished);
}

TEST_P(StatusDisplay, ACertificateNotSavedIsSaidAfterTheStatusItLeavesAsItWas) {
    report(40, 600, 3.0);
    report(SHRED_FINDING_PASSES_DONE, 0, 0.0, 1);
    EXPECT_EQ(list->rowProgress(0), 40);
    report(SHRED_STATUS_SHREDDED);
    job->settleDocuments(DocumentsEvent{.certificateNotSaved = true});
    EXPECT_EQ(cell(DeviceListModel::StatusColumn),
              FormatWithOneText(text("status_certificate_not_saved"), text("status_shredded")));
    EXPECT_EQ(record->state(), JobState::Finished);
    EXPECT_EQ(button()->text(), text("status_start"));
}

TEST_P(StatusDisplay, AReportForAGoneRecordChangesNothing) {
    table->setRemoveWait(1, 1);
    table->remove(record);
    report(SHRED_STATUS_FAILED_MEDIA);
    EXPECT_EQ(record->state(), JobState::Running);
}

TEST_P(StatusDisplay, AStaleRecordKeepsItsStatusText) {
    list->setCellText(0, DeviceListModel::StatusColumn, QStringLiteral("busy"));
    record->stale = true;
    report(-11);
    EXPECT_EQ(record->state(), JobState::Finished);
    EXPECT_EQ(cell(DeviceListModel::StatusColumn), QStringLiteral("busy"));
    EXPECT_EQ(button()->text(), text("status_start"));
}

// An abort is the user's word on the row until the job has its own last word; one that
// comes after the end changes nothing.
TEST_P(StatusDisplay, AnAbortShowsUntilTheJobEndsAndNeverAfter) {
    report(10, 100LL * 1048576, 2.0);
    EXPECT_EQ(cell(DeviceListModel::TimeLeftColumn), QStringLiteral("00:00:50"));
    EXPECT_TRUE(job->requestAbort());
    EXPECT_EQ(cell(DeviceListModel::StatusColumn), text("status_aborting"));
    now += 1;
    report(11, 900, 2.0);
    EXPECT_EQ(cell(DeviceListModel::StatusColumn), text("status_aborting"));
    EXPECT_TRUE(progress().aborting);
    report(SHRED_STATUS_ABORTED);
    EXPECT_FALSE(job->requestAbort());
    EXPECT_EQ(cell(DeviceListModel::StatusColumn), text("status_aborted"));
    EXPECT_EQ(cell(DeviceListModel::TimeLeftColumn), QString());
    EXPECT_FALSE(progress().aborting);
}

// The terminal formats its line from the same progress the row was drawn from; neither reads
// the other's text, and yet they say the same at every turn of a job.
TEST_P(StatusDisplay, TheTerminalLineSaysWhatTheRowSays) {
    constexpr std::int64_t MiB = 1048576;
    const auto expectSame = [&](const char* when) {
        const cli::JobRow line = cli::jobRowOf(progress());
        EXPECT_EQ(line.progress, list->rowProgress(0)) << when;
        EXPECT_EQ(line.speed, cell(DeviceListModel::SpeedColumn)) << when;
        EXPECT_EQ(line.elapsed, cell(DeviceListModel::ElapsedColumn)) << when;
        EXPECT_EQ(line.timeLeft, cell(DeviceListModel::TimeLeftColumn)) << when;
        EXPECT_EQ(line.status, cell(DeviceListModel::StatusColumn)) << when;
    };
    for (int column : {DeviceListModel::SpeedColumn, DeviceListModel::ElapsedColumn,
                       DeviceListModel::TimeLeftColumn})
        list->setCellText(0, column, QString());
    expectSame("before the first report");
    report(0, 64 * MiB, 0.0, 0);
    expectSame("first report");
    now += 1;
    nowMs += 1000;
    report(40, 40 * MiB, 24.0, 24 * MiB);
    expectSame("running");
    report(SHRED_FINDING_CAPACITY, 0, 0, 64 * MiB);
    expectSame("a finding");
    now += 1;
    nowMs += 1000;
    report(100, 0, 40.0, 64 * MiB);
    report(SHRED_STATUS_FORMATTING);
    expectSame("formatting");
    report(320);
    expectSame("formatting on");
    job->requestAbort();
    expectSame("aborting");
    report(SHRED_STATUS_FAILED_COUNTERFEIT, 0, 0, 8 * MiB);
    job->settleDocuments(DocumentsEvent{.reportNotSaved = true});
    expectSame("ended without its report");
    EXPECT_TRUE(cell(DeviceListModel::StatusColumn).contains(formatSizeText(8 * MiB)));
}

TEST(JobProgress, FindingsAreKeptAndChangeNothingShown) {
    JobProgressEstimator estimator(100);
    estimator.apply(ProgressEvent{30, 700, 0, 2.0}, 101, 0);
    const JobProgress before = estimator.progress();
    const FindingEvent capacity{FindingEvent::Kind::Capacity, 123};
    const JobProgressChange change = estimator.apply(capacity, 105, 0);
    EXPECT_FALSE(change.percent || change.speed || change.elapsed || change.timeLeft ||
                 change.status);
    estimator.apply(FindingEvent{FindingEvent::Kind::Verified}, 105, 0);
    const std::vector<FindingEvent> found{capacity, {FindingEvent::Kind::Verified}};
    EXPECT_EQ(estimator.progress().findings, found);
    EXPECT_EQ(estimator.progress().elapsedSeconds, before.elapsedSeconds);
}

// Two jobs report at the same moment, each on its own thread, with the system clock.
TEST(StatusDisplayThreads, TwoJobsReportAtOnce) {
    test::ScopedRegistry registry;
    auto table = std::make_shared<DeviceTable>();
    auto list = std::make_shared<DeviceListModel>();
    auto rows = std::make_shared<JobRows>(table, list, nullptr);
    std::vector<std::shared_ptr<CVSKRMShredThread>> jobs;
    for (std::uint32_t number : {1u, 2u}) {
        table->insertSorted(number);
        auto record = table->findByDeviceNumber(number);
        list->insertRow(static_cast<int>(number - 1), record);
        record->setState(JobState::Running);
        jobs.push_back(std::make_shared<CVSKRMShredThread>(record, 101));
        jobs.back()->addObserver(rows);
        rows->jobStarting(jobs.back());
    }
    auto run = [&](int number) {
        CVSKRMShredThread& job = *jobs[static_cast<std::size_t>(number - 1)];
        for (int i = 0; i < 2000; ++i) {
            job.take(ProgressEvent{i % 100, 1000 - i % 100, 0, 1.0 + number});
            static_cast<void>(list->cellText(number - 1, DeviceListModel::StatusColumn));
        }
        job.take(EndedEvent{JobStatus::Shredded});
    };
    std::thread first(run, 1), second(run, 2);
    first.join();
    second.join();
    EXPECT_EQ(table->findByDeviceNumber(1)->state(), JobState::Finished);
    EXPECT_EQ(table->findByDeviceNumber(2)->state(), JobState::Finished);
    EXPECT_EQ(jobs[1]->progress().speed, 3.0);
}
