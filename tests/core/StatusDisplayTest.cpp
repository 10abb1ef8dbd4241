#include "TestSupport.h"
#include "devices/DeviceListModel.h"
#include "devices/DeviceTable.h"
#include "ui/ShredStatusDisplay.h"

#include <gtest/gtest.h>

using namespace kestrune;

namespace {

// A row and its record, with a clock the test moves by hand. No language component: the
// status texts then read as empty, which is all these cases need.
struct Fixture {
    std::shared_ptr<DeviceTable> table = std::make_shared<DeviceTable>();
    std::shared_ptr<DeviceListModel> list = std::make_shared<DeviceListModel>();
    ShredStatusContext context;
    std::int64_t now = 1'000'000;
    std::shared_ptr<DeviceRecord> record;

    Fixture() {
        context.table = table;
        context.list = list;
        context.clock = [this] { return now; };
        table->insertSorted(3);
        record = table->findByDeviceNumber(3);
        list->insertRow(0, record);
        record->setState(JobState::Running);
        record->startTime = now;
    }
    void report(int status, std::int64_t bytesLeft = 0, double speed = 0.0) {
        OnShredStatus(&context, 3, status, bytesLeft, 0, speed);
    }
    QString cell(int column) const { return list->cellText(0, column); }
};

} // namespace

TEST(TimeSpan, HoursWrapEveryDay) {
    EXPECT_EQ(FormatTimeSpan(90061), QStringLiteral("01:01:01"));
    EXPECT_EQ(FormatTimeSpan(59), QStringLiteral("00:00:59"));
    EXPECT_EQ(FormatTimeSpan(0), QStringLiteral("00:00:00"));
    EXPECT_EQ(FormatTimeSpan(-5), QStringLiteral("00:00:00"));
}

TEST(FailureText, OnlyOneIntegerIsEverRead) {
    EXPECT_EQ(FormatWithOneInteger(QStringLiteral("Failed (%d)"), -7),
              QStringLiteral("Failed (-7)"));
    EXPECT_EQ(FormatWithOneInteger(QStringLiteral("%s %n %d %d %x"), -2),
              QStringLiteral("%s %n -2 %d %x"));
    EXPECT_EQ(FormatWithOneInteger(QStringLiteral("100%% %5d"), 7), QStringLiteral("100%     7"));
    EXPECT_EQ(FormatWithOneInteger(QStringLiteral("trailing %"), 1), QStringLiteral("trailing %"));
}

TEST(StatusDisplay, ProgressIsThrottledToOncePerSecond) {
    Fixture f;
    f.report(10, 1000, 2.0);
    EXPECT_EQ(f.list->rowProgress(0), 10);
    f.report(20, 900, 4.0); // same second: dropped, speed sample too
    EXPECT_EQ(f.list->rowProgress(0), 10);
    EXPECT_EQ(f.record->speedSamples, 1u);
    f.now += 1;
    f.report(30, 800, 4.0);
    EXPECT_EQ(f.list->rowProgress(0), 30);
    EXPECT_DOUBLE_EQ(f.record->averageSpeed, 3.0);
    EXPECT_EQ(f.cell(DeviceListModel::SpeedColumn), QStringLiteral("3.00 MB/s"));
    EXPECT_EQ(f.cell(DeviceListModel::ElapsedColumn), QStringLiteral("00:00:01"));
}

TEST(StatusDisplay, ZeroSpeedCountsAsASampleAndKeepsTheMean) {
    Fixture f;
    f.report(5, 0, 8.0);
    f.now += 2;
    f.report(6, 0, 0.0);
    EXPECT_EQ(f.record->speedSamples, 2u);
    EXPECT_DOUBLE_EQ(f.record->averageSpeed, 8.0);
    EXPECT_EQ(f.cell(DeviceListModel::SpeedColumn), QStringLiteral("8.00 MB/s"));
    EXPECT_EQ(f.cell(DeviceListModel::TimeLeftColumn), QStringLiteral("00:00:00"));
}

TEST(StatusDisplay, TimeLeftFollowsBytesLeftAndTheMean) {
    Fixture f;
    f.report(50, 3600LL * 1048576, 1.0);
    EXPECT_EQ(f.cell(DeviceListModel::TimeLeftColumn), QStringLiteral("01:00:00"));
}

TEST(StatusDisplay, FirstJobSampleReplacesTheOldMean) {
    Fixture f;
    f.record->averageSpeed = 100.0;
    f.record->speedSamples = 0; // set by a job start
    f.report(1, 0, 2.0);
    EXPECT_DOUBLE_EQ(f.record->averageSpeed, 2.0);
}

TEST(StatusDisplay, FinalStatusesMoveTheJobState) {
    Fixture f;
    f.report(100);
    EXPECT_EQ(f.record->state(), JobState::Running);
    f.report(SHRED_STATUS_SHREDDED);
    EXPECT_EQ(f.record->state(), JobState::Finished);
    EXPECT_EQ(f.list->rowProgress(0), 100);
    EXPECT_EQ(f.cell(DeviceListModel::TimeLeftColumn), QStringLiteral("00:00:00"));
    f.report(SHRED_STATUS_FORMATTING);
    EXPECT_EQ(f.record->state(), JobState::Running);
    f.report(350);
    EXPECT_EQ(f.list->rowProgress(0), 50);
    f.report(SHRED_STATUS_FORMATTED);
    EXPECT_EQ(f.record->state(), JobState::Finished);
    f.report(SHRED_STATUS_ABORTED);
    EXPECT_EQ(f.record->state(), JobState::Aborted);
    f.report(SHRED_STATUS_FAILED_FORMAT);
    EXPECT_EQ(f.record->state(), JobState::Finished);
}

TEST(StatusDisplay, AReportForAGoneRecordChangesNothing) {
    Fixture f;
    f.table->setRemoveWait(1, 1);
    f.table->remove(f.record);
    f.report(SHRED_STATUS_FAILED_MEDIA);
    EXPECT_EQ(f.record->state(), JobState::Running);
}

TEST(StatusDisplay, AStaleRecordKeepsItsStatusText) {
    Fixture f;
    f.list->setCellText(0, DeviceListModel::StatusColumn, QStringLiteral("busy"));
    f.record->stale = true;
    f.report(-11);
    EXPECT_EQ(f.record->state(), JobState::Finished);
    EXPECT_EQ(f.cell(DeviceListModel::StatusColumn), QStringLiteral("busy"));
}
