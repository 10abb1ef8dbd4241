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
        jobs.statusContext()->clock = [] { return std::int64_t{1'700'000'000}; };
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
    record->setState(JobState::Aborted);
    record->abort.raise();
    record->averageSpeed = 9.0;
    record->speedSamples = 4;
    record->startTime = 0;
    const auto job = jobs.start(record, 101, formatting());
    ASSERT_TRUE(job);
    EXPECT_EQ(record->startTime, 1'700'000'000);
    EXPECT_EQ(record->speedSamples, 0u);
    EXPECT_EQ(record->averageSpeed, 0.0);
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
    EXPECT_EQ(job->finalStatus(), SHRED_STATUS_FORMATTED);
}

TEST_F(ShredJobsTest, AReaderWithoutACardIsRefusedAndKeepsItsRow) {
    record->hasMedium = false;
    list->setCellText(0, DeviceListModel::StatusColumn, QStringLiteral("as it was"));
    EXPECT_EQ(jobs.start(record, 101), nullptr);
    EXPECT_EQ(record->state(), JobState::Idle);
    EXPECT_EQ(status(), QStringLiteral("as it was"));
    EXPECT_EQ(jobs.runningCount(), 0);
}
