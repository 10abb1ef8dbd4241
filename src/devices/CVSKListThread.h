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
    // The scan keeps the table, the list and the notifier alive for as long as it runs, so
    // one still running when its window has gone never touches freed state.
    DeviceScanLauncher(std::shared_ptr<DeviceTable> table, std::shared_ptr<DeviceListModel> list,
                       std::shared_ptr<DeviceScanNotifier> notifier,
                       DeviceScanSources sources = {});
    // Any scan function (tests, other front ends); it runs inside a CVSKListThread.
    explicit DeviceScanLauncher(CVSKListThread::Scan scan);
    // Waits a moment for a running scan to end; one that takes longer (a device that does not
    // answer) ends on its own with what it holds.
    ~DeviceScanLauncher();
    DeviceScanLauncher(const DeviceScanLauncher&) = delete;
    DeviceScanLauncher& operator=(const DeviceScanLauncher&) = delete;

    // True when a new scan thread was started; false when one still runs (one more scan is
    // then queued behind it) or the thread could not be created.
    bool startDeviceScan();
    bool isScanning() const;
    bool waitUntilIdle(std::chrono::milliseconds timeout) const;

    static constexpr std::chrono::seconds kShutdownWait{3};
    // How long the destructor waits for a running scan; kShutdownWait unless a test that
    // leaves a scan stuck on purpose gives up sooner.
    void setShutdownWait(std::chrono::milliseconds wait) { shutdownWait_ = wait; }

private:
    std::chrono::milliseconds shutdownWait_ = kShutdownWait;
    struct State;
    // Shared with the scan thread, so it outlives whichever side ends first.
    std::shared_ptr<State> state_;
    CVSKListThread::Scan scan_;
};

} // namespace kestrune
