#include "devices/CVSKListThread.h"
#include "devices/DeviceListModel.h"
#include "devices/DeviceTable.h"

#include <QTest>
#include <atomic>
#include <condition_variable>
#include <gtest/gtest.h>
#include <kestrune/disk_numbers.h>
#include <mutex>
#include <thread>

using namespace std::chrono_literals;
using kestrune::DeviceScanLauncher;

namespace {

// A scan that holds until the test lets it go.
class Gate {
public:
    void pass() {
        std::unique_lock guard(mutex_);
        ++entered_;
        changed_.notify_all();
        changed_.wait(guard, [this] { return open_; });
        ++finished_;
        changed_.notify_all();
    }
    void open() {
        std::lock_guard guard(mutex_);
        open_ = true;
        changed_.notify_all();
    }
    bool waitEntered(int count) {
        std::unique_lock guard(mutex_);
        return changed_.wait_for(guard, 5s, [&] { return entered_ >= count; });
    }
    int finished() {
        std::lock_guard guard(mutex_);
        return finished_;
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    bool open_ = false;
    int entered_ = 0;
    int finished_ = 0;
};

TEST(ScanLauncher, RequestsDuringAScanGiveExactlyOneMoreScan) {
    Gate gate;
    DeviceScanLauncher launcher([&gate] { gate.pass(); });
    EXPECT_TRUE(launcher.startDeviceScan());
    ASSERT_TRUE(gate.waitEntered(1));
    EXPECT_TRUE(launcher.isScanning());
    // The GUI thread is never held up by a running scan.
    EXPECT_FALSE(launcher.startDeviceScan());
    EXPECT_FALSE(launcher.startDeviceScan());
    EXPECT_FALSE(launcher.startDeviceScan());
    gate.open();
    ASSERT_TRUE(launcher.waitUntilIdle(5s));
    EXPECT_EQ(gate.finished(), 2);

    EXPECT_TRUE(launcher.startDeviceScan());
    ASSERT_TRUE(launcher.waitUntilIdle(5s));
    EXPECT_EQ(gate.finished(), 3);
    EXPECT_FALSE(launcher.isScanning());
}

TEST(ScanLauncher, DestructionWaitsForTheRunningScanAndStartsNoOther) {
    std::atomic<int> scans{0};
    std::atomic<bool> done{false};
    {
        DeviceScanLauncher launcher([&] {
            std::this_thread::sleep_for(150ms);
            ++scans;
            done = true;
        });
        launcher.startDeviceScan();
        launcher.startDeviceScan(); // queued, but the owner goes away first
    }
    EXPECT_TRUE(done.load());
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(scans.load(), 1);
}

class Notifier final : public kestrune::DeviceScanNotifier {
public:
    void deviceListEmpty() override { ++empty; }
    void deviceListFilled() override { ++filled; }
    std::atomic<int> empty{0};
    std::atomic<int> filled{0};
};

class OneStick final : public kestrune::platform::DiskEnumerator {
public:
    std::optional<std::vector<kestrune::platform::DiskInfo>> enumerate() const override {
        kestrune::platform::DiskInfo disk;
        disk.name = "sdz";
        disk.identity.path = "/dev/sdz";
        disk.identity.devt = 0x8F0;
        disk.identity.diskseq = 77;
        disk.sizeBytes = 1 << 20;
        disk.hasMedium = true;
        return std::vector<kestrune::platform::DiskInfo>{disk};
    }
};

TEST(ScanLauncher, RunsTheScanOnTheTableAndTellsTheWindow) {
    auto tablePtr = std::make_shared<kestrune::DeviceTable>();
    auto listPtr = std::make_shared<kestrune::DeviceListModel>();
    kestrune::DeviceTable& table = *tablePtr;
    kestrune::DeviceListModel& list = *listPtr;
    auto notifier = std::make_shared<Notifier>();
    OneStick enumerator;
    kestrune::DeviceScanSources sources;
    sources.enumerator = &enumerator;
    sources.text = [](const QString&) { return QString(); };
    {
        DeviceScanLauncher launcher(tablePtr, listPtr, notifier, sources);
        ASSERT_TRUE(launcher.startDeviceScan());
        ASSERT_TRUE(launcher.waitUntilIdle(5s));
    }
    EXPECT_EQ(table.size(), 1);
    EXPECT_EQ(list.rowCount(), 1);
    EXPECT_EQ(list.cellText(0, kestrune::DeviceListModel::SizeColumn), "1.00 MB");
    EXPECT_EQ(notifier->filled, 1);
    kestrune_disk_number_release(static_cast<std::int32_t>(table.recordAt(0)->deviceNumber));
}

// A scan stuck in a device outlives the window that started it: it keeps the table, the
// rows and the notifier alive until it ends, then lets them go.
class GatedStick final : public kestrune::platform::DiskEnumerator {
public:
    std::optional<std::vector<kestrune::platform::DiskInfo>> enumerate() const override {
        std::unique_lock guard(mutex);
        opened.wait(guard, [this] { return open; });
        return OneStick().enumerate();
    }
    void release() {
        std::lock_guard guard(mutex);
        open = true;
        opened.notify_all();
    }
    mutable std::mutex mutex;
    mutable std::condition_variable opened;
    bool open = false;
};

TEST(ScanLauncher, AScanThatOutlivesItsLauncherKeepsWhatItUses) {
    auto table = std::make_shared<kestrune::DeviceTable>();
    auto list = std::make_shared<kestrune::DeviceListModel>();
    auto notifier = std::make_shared<Notifier>();
    const std::weak_ptr<kestrune::DeviceTable> tableLeft = table;
    const std::weak_ptr<Notifier> notifierLeft = notifier;
    static GatedStick enumerator; // outlives the scan thread whatever happens
    kestrune::DeviceScanSources sources;
    sources.enumerator = &enumerator;
    sources.text = [](const QString&) { return QString(); };
    {
        DeviceScanLauncher launcher(table, list, notifier, sources);
        launcher.setShutdownWait(50ms);
        ASSERT_TRUE(launcher.startDeviceScan());
    } // gives up waiting for the stuck scan
    table.reset();
    list.reset();
    notifier.reset();
    ASSERT_FALSE(tableLeft.expired());
    enumerator.release();
    for (int i = 0; i < 100 && !notifierLeft.expired(); ++i)
        std::this_thread::sleep_for(50ms);
    EXPECT_TRUE(tableLeft.expired());
    EXPECT_TRUE(notifierLeft.expired());
}

} // namespace
