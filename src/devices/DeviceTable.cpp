#include "devices/DeviceTable.h"

#include "devices/DeviceListModel.h"

#include <chrono>
#include <cstdio>
#include <thread>

namespace kestrune {

DeviceTable::~DeviceTable() {
    publish({});
}

std::shared_ptr<const DeviceTable::Records> DeviceTable::snapshot() const {
    std::lock_guard guard(snapshotMutex_);
    return records_;
}

void DeviceTable::publish(Records records) {
    auto published = std::make_shared<const Records>(std::move(records));
    std::lock_guard guard(snapshotMutex_);
    records_.swap(published);
}

DeviceTable::RecordPtr DeviceTable::findByDeviceNumber(std::uint32_t deviceNumber) const {
    auto records = snapshot();
    for (std::size_t i = 0; i < records->size(); ++i) {
        const RecordPtr& record = (*records)[i];
        record->rowIndex.store(static_cast<int>(i));
        if (record->deviceNumber == deviceNumber)
            return record;
    }
    return nullptr;
}

DeviceTable::RecordPtr DeviceTable::recordAt(int position) const {
    auto records = snapshot();
    if (position < 0 || position >= static_cast<int>(records->size()))
        return nullptr;
    const RecordPtr& record = (*records)[static_cast<std::size_t>(position)];
    record->rowIndex.store(position);
    return record;
}

int DeviceTable::insertSorted(std::uint32_t deviceNumber) {
    std::lock_guard links(linksMutex_);
    Records records = *snapshot();
    auto record = std::make_shared<DeviceRecord>();
    record->deviceNumber = deviceNumber;
    std::size_t position = 0;
    while (position < records.size() && records[position]->deviceNumber <= deviceNumber)
        ++position;
    records.insert(records.begin() + static_cast<std::ptrdiff_t>(position), record);
    for (std::size_t i = position; i < records.size(); ++i)
        records[i]->rowIndex.store(static_cast<int>(i));
    publish(std::move(records));
    return static_cast<int>(position);
}

void DeviceTable::markAllStale() {
    auto records = snapshot();
    for (std::size_t i = 0; i < records->size(); ++i) {
        (*records)[i]->rowIndex.store(static_cast<int>(i));
        (*records)[i]->stale.store(true);
    }
}

void DeviceTable::removeStale(DeviceListModel& list) {
    int counter = 0;
    for (;;) {
        auto records = snapshot();
        bool removed = false;
        counter = 0;
        for (const RecordPtr& record : *records) {
            record->rowIndex.store(counter);
            if (record->stale.load()) {
                std::printf("Want to remove: %d\n", counter);
                std::fflush(stdout);
                list.deleteRow(record->rowIndex.load());
                remove(record);
                removed = true;
                break;
            }
            ++counter;
        }
        if (!removed)
            break;
    }
    while (list.rowCount() > counter)
        list.deleteRow(list.rowCount() - 1);
}

int DeviceTable::remove(const RecordPtr& record) {
    if (!record)
        return -1;
    record->abort.raise();
    for (int check = 0; check < removeChecks_; ++check) {
        if (record->state() != JobState::Running)
            break;
        std::printf("Status: %d\n", static_cast<int>(record->state()));
        std::fflush(stdout);
        std::this_thread::sleep_for(std::chrono::milliseconds(removeIntervalMs_));
    }
    // A job still running after the wait keeps its own reference to the record, so
    // unlinking it here never frees what the worker or the engine still touches.
    auto guard = lockByPolling();
    const int formerRow = record->rowIndex.load();
    {
        std::lock_guard links(linksMutex_);
        Records records = *snapshot();
        std::erase(records, record);
        for (std::size_t i = 0; i < records.size(); ++i)
            records[i]->rowIndex.store(static_cast<int>(i));
        publish(std::move(records));
    }
    return formerRow;
}

bool DeviceTable::anyRunning() const {
    auto records = snapshot();
    for (const RecordPtr& record : *records)
        if (record->state() == JobState::Running)
            return true;
    return false;
}

void DeviceTable::clearNames() {
    auto records = snapshot();
    for (std::size_t i = 0; i < records->size(); ++i) {
        (*records)[i]->rowIndex.store(static_cast<int>(i));
        (*records)[i]->displayName.clear();
    }
}

void DeviceTable::publishNames(DeviceListModel& list) {
    auto records = snapshot();
    for (std::size_t i = 0; i < records->size(); ++i) {
        const RecordPtr& record = (*records)[i];
        const int row = static_cast<int>(i);
        record->rowIndex.store(row);
        if (list.cellText(row, DeviceListModel::NameColumn) != record->displayName)
            list.setCellText(row, DeviceListModel::NameColumn, record->displayName);
    }
}

std::vector<DeviceTable::RecordPtr> DeviceTable::records() const {
    return *snapshot();
}

int DeviceTable::size() const {
    return static_cast<int>(snapshot()->size());
}

std::unique_lock<std::timed_mutex> DeviceTable::lockByPolling(void (*onWait)()) {
    std::unique_lock<std::timed_mutex> guard(lock_, std::try_to_lock);
    while (!guard.owns_lock()) {
        if (onWait)
            onWait();
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        guard.try_lock();
    }
    return guard;
}

} // namespace kestrune
