#pragma once

#include "devices/DeviceRecord.h"

#include <atomic>
#include <memory>
#include <mutex>
#include <vector>

namespace kestrune {

class DeviceListModel;

// The removable disks, in ascending device-number order; a record's position is the row
// of its disk in the list. Records are shared: a job or the list may still hold one after
// the table let it go.
class DeviceTable {
public:
    using RecordPtr = std::shared_ptr<DeviceRecord>;

    DeviceTable() = default;
    ~DeviceTable();
    DeviceTable(const DeviceTable&) = delete;
    DeviceTable& operator=(const DeviceTable&) = delete;

    RecordPtr findByDeviceNumber(std::uint32_t deviceNumber) const;
    RecordPtr recordAt(int position) const;
    int insertSorted(std::uint32_t deviceNumber);
    void markAllStale();
    void removeStale(DeviceListModel& list);
    int remove(const RecordPtr& record);
    bool anyRunning() const;
    void clearNames();
    void publishNames(DeviceListModel& list);
    std::vector<RecordPtr> records() const;
    int size() const;

    // The table's lock, taken the way its holders take it: try, sleep 100 ms, try again.
    // onWait runs before each sleep (the progress display lowers its priority there).
    std::unique_lock<std::timed_mutex> lockByPolling(void (*onWait)() = nullptr);
    std::timed_mutex& lock() { return lock_; }

    // How long remove() waits for a running job to end: 30 checks, 200 ms apart.
    void setRemoveWait(int checks, int intervalMs) {
        removeChecks_ = checks;
        removeIntervalMs_ = intervalMs;
    }

private:
    using Records = std::vector<RecordPtr>;
    std::shared_ptr<const Records> snapshot() const;
    void publish(Records records);

    std::timed_mutex lock_;
    // Guards changes of the order; readers only copy the published snapshot, which takes
    // the snapshot mutex for a pointer copy and never waits on a scan or a job.
    mutable std::mutex linksMutex_;
    mutable std::mutex snapshotMutex_;
    std::shared_ptr<const Records> records_{std::make_shared<const Records>()};
    int removeChecks_ = 30;
    int removeIntervalMs_ = 200;
};

} // namespace kestrune
