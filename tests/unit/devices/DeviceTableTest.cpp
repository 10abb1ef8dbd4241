#include "devices/DeviceTable.h"
#include "devices/DeviceListModel.h"

#include <gtest/gtest.h>
#include <thread>

using namespace kestrune;

namespace {

std::vector<std::uint32_t> numbers(const DeviceTable& table) {
    std::vector<std::uint32_t> result;
    for (const auto& record : table.records())
        result.push_back(record->deviceNumber);
    return result;
}

// Fills table and rows the way a scan does.
void addDisk(DeviceTable& table, DeviceListModel& list, std::uint32_t number) {
    table.insertSorted(number);
    auto record = table.findByDeviceNumber(number);
    list.insertRow(record->rowIndex.load(), record);
}

} // namespace

TEST(DeviceTable, EmptyTableFindsNothingAndRemoveStaleClearsTheList) {
    DeviceTable table;
    DeviceListModel list;
    EXPECT_EQ(table.findByDeviceNumber(0), nullptr);
    EXPECT_EQ(table.recordAt(0), nullptr);
    EXPECT_FALSE(table.anyRunning());
    list.insertRow(0, nullptr);
    list.insertRow(1, nullptr);
    table.removeStale(list);
    EXPECT_EQ(list.rowCount(), 0);
    EXPECT_EQ(table.remove(nullptr), -1);
}

TEST(DeviceTable, InsertKeepsAscendingUnsignedOrder) {
    DeviceTable table;
    EXPECT_EQ(table.insertSorted(3), 0);
    EXPECT_EQ(table.insertSorted(1), 0);
    EXPECT_EQ(table.insertSorted(2), 1);
    EXPECT_EQ(table.insertSorted(kUnknownDeviceNumber), 3);
    EXPECT_EQ(table.insertSorted(0), 0);
    EXPECT_EQ(numbers(table), (std::vector<std::uint32_t>{0, 1, 2, 3, kUnknownDeviceNumber}));
    auto record = table.findByDeviceNumber(3);
    ASSERT_NE(record, nullptr);
    EXPECT_EQ(record->rowIndex.load(), 3);
    EXPECT_EQ(table.recordAt(4)->deviceNumber, kUnknownDeviceNumber);
    EXPECT_EQ(table.recordAt(5), nullptr);
}

TEST(DeviceTable, RemoveStaleDropsRecordsAndTheirRowsOnly) {
    DeviceTable table;
    DeviceListModel list;
    for (std::uint32_t n : {1u, 4u, 7u})
        addDisk(table, list, n);
    list.setCellText(2, DeviceListModel::NameColumn, QStringLiteral("seven"));
    table.markAllStale();
    table.findByDeviceNumber(1)->stale = false;
    table.findByDeviceNumber(7)->stale = false;
    table.removeStale(list);
    EXPECT_EQ(numbers(table), (std::vector<std::uint32_t>{1, 7}));
    ASSERT_EQ(list.rowCount(), 2);
    EXPECT_EQ(list.recordOfRow(1)->deviceNumber, 7u);
    EXPECT_EQ(list.cellText(1, DeviceListModel::NameColumn), QStringLiteral("seven"));
}

TEST(DeviceTable, RemovingARunningRecordAbortsAndWaitsForTheJobToLeave) {
    DeviceTable table;
    table.setRemoveWait(30, 20);
    table.insertSorted(5);
    auto record = table.findByDeviceNumber(5);
    record->setState(JobState::Running);
    std::thread job([record] {
        while (!record->abort.raised())
            std::this_thread::yield();
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        record->setState(JobState::Aborted);
    });
    EXPECT_EQ(table.remove(record), 0);
    job.join();
    EXPECT_EQ(table.size(), 0);
    EXPECT_EQ(record->state(), JobState::Aborted);
}

TEST(DeviceTable, ARecordStillRunningAfterTheWaitStaysValidForItsJob) {
    DeviceTable table;
    table.setRemoveWait(3, 10);
    table.insertSorted(2);
    auto record = table.findByDeviceNumber(2);
    record->setState(JobState::Running);
    std::weak_ptr<DeviceRecord> watch = record;
    auto heldByJob = record;
    record.reset();
    table.remove(heldByJob);
    EXPECT_EQ(table.size(), 0);
    EXPECT_TRUE(heldByJob->abort.raised());
    heldByJob->setState(JobState::Aborted); // the job can still write its record
    heldByJob.reset();
    EXPECT_TRUE(watch.expired());
}

TEST(DeviceTable, PublishNamesWritesOnlyChangedNames) {
    DeviceTable table;
    DeviceListModel list;
    addDisk(table, list, 0);
    addDisk(table, list, 1);
    table.findByDeviceNumber(0)->displayName = QStringLiteral("DATA (sdb1)");
    list.setCellText(1, DeviceListModel::NameColumn, QStringLiteral("old"));
    table.publishNames(list);
    EXPECT_EQ(list.cellText(0, DeviceListModel::NameColumn), QStringLiteral("DATA (sdb1)"));
    EXPECT_EQ(list.cellText(1, DeviceListModel::NameColumn), QString());
    table.clearNames();
    EXPECT_TRUE(table.findByDeviceNumber(0)->displayName.isEmpty());
}

TEST(DeviceTable, ConcurrentLookupsDuringInsertAndRemoveSeeConsistentOrder) {
    DeviceTable table;
    table.setRemoveWait(1, 1);
    std::atomic<bool> stop{false};
    std::thread reader([&] {
        while (!stop) {
            auto records = table.records();
            for (std::size_t i = 1; i < records.size(); ++i)
                ASSERT_LT(records[i - 1]->deviceNumber, records[i]->deviceNumber);
            table.findByDeviceNumber(7);
            table.anyRunning();
        }
    });
    for (int round = 0; round < 300; ++round) {
        const auto number = static_cast<std::uint32_t>((round * 7) % 32);
        if (!table.findByDeviceNumber(number))
            table.insertSorted(number);
        if (round % 3 == 0)
            table.remove(table.recordAt(round % 5));
    }
    stop = true;
    reader.join();
}
