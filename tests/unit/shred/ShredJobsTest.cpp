#include "shred/ShredJobs.h"
#include "TestSupport.h"
#include "devices/DeviceListModel.h"
#include "devices/DeviceTable.h"
#include "lang/LanguageManager.h"

#include <QTemporaryDir>
#include <future>
#include <gtest/gtest.h>

using namespace kestrune;
using platform::RegistryRoot;

namespace {

// The job registry with the test engine, one listed disk, and a format that waits for the
// test: while it waits, the job runs.
class ShredJobsTest : public ::testing::Test {
protected:
    void SetUp() override {
        test::registerComponentDirectory(QStringLiteral("VSKLanguage.dll"), test::binDir());
        test::registerComponentDirectory(QStringLiteral("VSKRemovableShredder.dll"),
                                         QStringLiteral(KESTRUNE_TEST_ENGINES "/fake"));
        test::writeRegistryString(RegistryRoot::LocalMachine, test::productKey("\\Settings"),
                                  QStringLiteral("LogPath"), logs.path());
        table->insertSorted(5);
        record = table->findByDeviceNumber(5);
        list->insertRow(0, record);
        jobs.setClock(JobClock{[] { return std::int64_t{1'700'000'000}; }, {}});
        jobs.setFormatter([this](const FormatJob&) {
            formatReached.set_value();
            formatMayEnd.get_future().wait();
            return FormatResult::Formatted;
        });
    }
    void TearDown() override {
        // A job that never reached its format must not hold the registry's end up.
        if (!released)
            formatMayEnd.set_value();
        ReleaseLanguageManager();
    }
    void release() {
        released = true;
        formatMayEnd.set_value();
    }
    ShredJobOptions formatting() const {
        ShredJobOptions options;
        options.formatDrive = true;
        return options;
    }
    QString status() const { return list->cellText(0, DeviceListModel::StatusColumn); }

    test::ScopedRegistry registry;
    QTemporaryDir logs;
    std::shared_ptr<DeviceTable> table = std::make_shared<DeviceTable>();
    std::shared_ptr<DeviceListModel> list = std::make_shared<DeviceListModel>();
    ShredJobs jobs{table, list};
    std::shared_ptr<DeviceRecord> record;
    std::promise<void> formatReached;
    std::promise<void> formatMayEnd;
    bool released = false;
};

} // namespace

// The command line starts jobs through the same operation as the window: its jobs get a
// start time (and so an elapsed time), a lowered abort flag and nothing of a previous job.
TEST_F(ShredJobsTest, AStartedJobBeginsAfreshAndASecondStartWhileItRunsIsRefused) {
    // The job before left its end and its raised abort flag behind.
    record->setState(JobState::Aborted);
    record->abort.raise();
    const auto job = jobs.start(record, 101, formatting());
    ASSERT_TRUE(job);
    const std::optional<JobProgress> progress = jobs.progressOf(*record);
    ASSERT_TRUE(progress);
    EXPECT_EQ(progress->startSeconds, 1'700'000'000);
    EXPECT_NE(progress->speed, std::optional<double>(9.0));
    EXPECT_NE(progress->phase, JobPhase::Ended);
    EXPECT_FALSE(record->abort.raised());
    ASSERT_EQ(formatReached.get_future().wait_for(std::chrono::seconds(10)),
              std::future_status::ready)
        << "the job never reached its format";
    EXPECT_EQ(record->state(), JobState::Running);

    EXPECT_EQ(jobs.start(record, 101, formatting()), nullptr);
    EXPECT_EQ(jobs.runningCount(), 1) << "a refused start must start no worker";

    release();
    ASSERT_TRUE(jobs.waitForAll(10000));
    EXPECT_EQ(record->state(), JobState::Finished);
    EXPECT_EQ(job->finalStatus(), JobStatus::Formatted);
}

TEST_F(ShredJobsTest, AReaderWithoutACardIsRefusedAndKeepsItsRow) {
    record->hasMedium = false;
    list->setCellText(0, DeviceListModel::StatusColumn, QStringLiteral("as it was"));
    EXPECT_EQ(jobs.start(record, 101), nullptr);
    EXPECT_EQ(record->state(), JobState::Idle);
    EXPECT_EQ(status(), QStringLiteral("as it was"));
    EXPECT_EQ(jobs.runningCount(), 0);
}

// The window's thread asks for an abort, a job's progress and a row's disk while a scan or
// a report holds the table's lock: none of them may wait for it.
TEST_F(ShredJobsTest, AbortProgressAndTheRowsDiskNeverWaitForTheTableLock) {
    list->setDevicePath(0, QStringLiteral("/dev/sdq"));
    list->setCellText(0, DeviceListModel::DeviceColumn, QStringLiteral("Acme Stick"));
    const auto job = jobs.start(record, 101, formatting());
    ASSERT_TRUE(job);
    ASSERT_EQ(formatReached.get_future().wait_for(std::chrono::seconds(10)),
              std::future_status::ready);

    std::promise<void> held;
    std::promise<void> letGo;
    std::thread holder([&] {
        auto guard = table->lockByPolling();
        held.set_value();
        letGo.get_future().wait();
    });
    held.get_future().wait();
    auto asked = std::async(std::launch::async, [&] {
        jobs.abort(record);
        return std::make_pair(jobs.progressOf(*record), list->diskOfRecord(record.get()));
    });
    const bool answered = asked.wait_for(std::chrono::seconds(5)) == std::future_status::ready;
    letGo.set_value();
    holder.join();
    ASSERT_TRUE(answered) << "the window's thread waited for the table's lock";
    const auto [progress, disk] = asked.get();
    ASSERT_TRUE(progress);
    EXPECT_TRUE(progress->aborting);
    EXPECT_EQ(status(), GetLanguageManager()->GetString(QStringLiteral("status_aborting")));
    EXPECT_EQ(disk.path, QStringLiteral("/dev/sdq"));

    // A job outlives its row (the disk was pulled): it still names the disk it erases.
    list->deleteRow(0);
    const auto abandoned = jobs.abandonRunning();
    ASSERT_EQ(abandoned.size(), 1u);
    EXPECT_EQ(abandoned[0]->disk().device, QStringLiteral("Acme Stick"));
    EXPECT_EQ(abandoned[0]->disk().path, QStringLiteral("/dev/sdq"));
    release();
    ASSERT_TRUE(jobs.waitForAll(10000));
}

// The last job of a disk is kept for its row and its abort; once the disk has left the table,
// the next start forgets it.
TEST_F(ShredJobsTest, ForgetsTheLastJobOfADiskGoneFromTheTable) {
    release();
    ShredJobOptions plain;
    plain.formatDrive = false;
    const auto first = jobs.start(record, 101, plain);
    ASSERT_TRUE(first);
    ASSERT_TRUE(jobs.waitForAll(10000));
    EXPECT_EQ(jobs.jobOf(*record), first);
    table->setRemoveWait(1, 1);
    table->remove(record);
    table->insertSorted(6);
    const auto other = table->findByDeviceNumber(6);
    const auto second = jobs.start(other, 101, plain);
    ASSERT_TRUE(second);
    ASSERT_TRUE(jobs.waitForAll(10000));
    EXPECT_EQ(jobs.jobOf(*record), nullptr);
    EXPECT_EQ(jobs.jobOf(*other), second);
}
