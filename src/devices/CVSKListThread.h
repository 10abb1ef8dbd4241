#pragma once

#include "devices/ScanDevices.h"

#include <chrono>
#include <functional>
#include <memory>

namespace kestrune {

class DeviceTable;
class DeviceListModel;

// One device scan on its own thread, then the thread ends.
class CVSKListThread {
public:
    using Scan = std::function<void()>;
    CVSKListThread(DeviceScanNotifier& notifier, DeviceListModel& list, DeviceTable& table,
                   DeviceScanSources sources = {});
    explicit CVSKListThread(Scan scan);

    bool InitInstance();
    int ExitInstance();
    // InitInstance, then ExitInstance: the whole life of the thread.
    int Run();

private:
    Scan scan_;
};

// Owned by the main window. Runs at most one scan at a time; a request that arrives while
// one runs is remembered, and exactly one more scan follows, so a disk plugged in during a
// scan is never missed. Never blocks the calling thread.
class DeviceScanLauncher {
public:
    DeviceScanLauncher(DeviceTable& table, DeviceListModel& list, DeviceScanNotifier& notifier,
                       DeviceScanSources sources = {});
    // The scan keeps table and list alive for as long as it runs.
    DeviceScanLauncher(std::shared_ptr<DeviceTable> table, std::shared_ptr<DeviceListModel> list,
                       DeviceScanNotifier& notifier, DeviceScanSources sources = {});
    // Any scan function (tests, other front ends); it runs inside a CVSKListThread.
    explicit DeviceScanLauncher(CVSKListThread::Scan scan);
    // Waits (bounded) for a running scan, so the table and the list outlive it.
    ~DeviceScanLauncher();
    DeviceScanLauncher(const DeviceScanLauncher&) = delete;
    DeviceScanLauncher& operator=(const DeviceScanLauncher&) = delete;

    // True when a new scan thread was started; false when one still runs (one more scan is
    // then queued behind it) or the thread could not be created.
    bool startDeviceScan();
    bool isScanning() const;
    bool waitUntilIdle(std::chrono::milliseconds timeout) const;

    static constexpr std::chrono::seconds kShutdownWait{30};

private:
    struct State;
    // Shared with the scan thread, so it outlives whichever side ends first.
    std::shared_ptr<State> state_;
    CVSKListThread::Scan scan_;
};

} // namespace kestrune
