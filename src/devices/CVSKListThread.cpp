#include "devices/CVSKListThread.h"

#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <system_error>
#include <thread>

namespace kestrune {

namespace {

void traceListThread(const char* line) {
    std::fputs(line, stdout);
    std::fflush(stdout);
}

} // namespace

CVSKListThread::CVSKListThread(DeviceScanNotifier& notifier, DeviceListModel& list,
                               DeviceTable& table, DeviceScanSources sources)
    : scan_([&notifier, &list, &table, sources = std::move(sources)] {
          scanDevices(table, list, notifier, sources);
      }) {}

CVSKListThread::CVSKListThread(Scan scan) : scan_(std::move(scan)) {}

bool CVSKListThread::InitInstance() {
    traceListThread("CVSKListThread::InitInstance()\n");
    if (scan_)
        scan_();
    return true;
}

int CVSKListThread::ExitInstance() {
    traceListThread("CVSKListThread::ExitInstance()\n");
    return 0;
}

int CVSKListThread::Run() {
    InitInstance();
    return ExitInstance();
}

struct DeviceScanLauncher::State {
    mutable std::mutex mutex;
    mutable std::condition_variable idle;
    bool running = false;
    bool again = false;
    bool closing = false;
};

DeviceScanLauncher::DeviceScanLauncher(std::shared_ptr<DeviceTable> table,
                                       std::shared_ptr<DeviceListModel> list,
                                       std::shared_ptr<DeviceScanNotifier> notifier,
                                       DeviceScanSources sources)
    : state_(std::make_shared<State>()),
      scan_([table = std::move(table), list = std::move(list), notifier = std::move(notifier),
             sources = std::move(sources)] { scanDevices(*table, *list, *notifier, sources); }) {}

DeviceScanLauncher::DeviceScanLauncher(CVSKListThread::Scan scan)
    : state_(std::make_shared<State>()), scan_(std::move(scan)) {}

DeviceScanLauncher::~DeviceScanLauncher() {
    std::unique_lock guard(state_->mutex);
    state_->closing = true;
    state_->again = false;
    if (!state_->idle.wait_for(guard, shutdownWait_, [this] { return !state_->running; }))
        traceListThread("CVSKListThread still running at shutdown\n");
}

bool DeviceScanLauncher::startDeviceScan() {
    std::lock_guard guard(state_->mutex);
    if (state_->closing)
        return false;
    if (state_->running) {
        state_->again = true;
        return false;
    }
    state_->running = true;
    try {
        std::thread([state = state_, scan = scan_] {
            for (;;) {
                CVSKListThread(scan).Run();
                std::lock_guard end(state->mutex);
                if (state->again && !state->closing) {
                    state->again = false;
                    continue;
                }
                state->running = false;
                state->idle.notify_all();
                return;
            }
        }).detach();
    } catch (const std::system_error&) {
        state_->running = false;
        traceListThread("CVSKListThread could not be started\n");
        return false;
    }
    return true;
}

bool DeviceScanLauncher::isScanning() const {
    std::lock_guard guard(state_->mutex);
    return state_->running;
}

bool DeviceScanLauncher::waitUntilIdle(std::chrono::milliseconds timeout) const {
    std::unique_lock guard(state_->mutex);
    return state_->idle.wait_for(guard, timeout, [this] { return !state_->running; });
}

} // namespace kestrune
