#include "devices/DeviceListModel.h"
#include "devices/DeviceTable.h"
#include "devices/ScanDevices.h"

#include <gtest/gtest.h>
#include <kestrune/disk_numbers.h>
#include <mutex>

#include <fcntl.h>
#include <unistd.h>

using kestrune::DeviceListModel;
using kestrune::DeviceTable;
using kestrune::formatGigabytesText;
using kestrune::formatSizeText;
using kestrune::JobState;
using kestrune::platform::DiskInfo;
using kestrune::platform::VolumeInfo;

namespace {

void releaseAllNumbers() {
    for (int n = 0; n < KESTRUNE_DISK_NUMBER_COUNT; ++n)
        kestrune_disk_number_release(n);
}

KestruneDiskIdentity identity(std::uint64_t devt, std::uint64_t diskseq, bool simulated = false) {
    KestruneDiskIdentity id{};
    std::snprintf(id.path, sizeof id.path, "/dev/disk-%llu", static_cast<unsigned long long>(devt));
    id.devt = devt;
    id.diskseq = diskseq;
    id.simulated = simulated ? 1 : 0;
    return id;
}

TEST(DiskNumbers, LowestFreeNumberStableIdentityAndAFullPool) {
    releaseAllNumbers();
    const auto a = identity(0x810, 1);
    const auto b = identity(0x820, 2);
    EXPECT_EQ(kestrune_disk_number_acquire(&a), 0);
    EXPECT_EQ(kestrune_disk_number_acquire(&b), 1);
    EXPECT_EQ(kestrune_disk_number_acquire(&a), 0);

    // Same node, new diskseq: another stick, another number. A simulated disk with the
    // same numbers is another disk too.
    const auto otherStick = identity(0x810, 3);
    const auto simulated = identity(0x810, 1, true);
    EXPECT_EQ(kestrune_disk_number_acquire(&otherStick), 2);
    EXPECT_EQ(kestrune_disk_number_acquire(&simulated), 3);

    kestrune_disk_number_release(0);
    KestruneDiskIdentity resolved{};
    EXPECT_EQ(kestrune_disk_number_resolve(0, &resolved), 0);
    EXPECT_EQ(kestrune_disk_number_resolve(1, &resolved), 1);
    EXPECT_STREQ(resolved.path, b.path);
    EXPECT_EQ(resolved.diskseq, 2u);
    const auto c = identity(0x830, 4);
    EXPECT_EQ(kestrune_disk_number_acquire(&c), 0);

    for (std::uint64_t i = 0; i < 28; ++i) {
        const auto more = identity(0x1000 + i, 100 + i);
        EXPECT_EQ(kestrune_disk_number_acquire(&more), static_cast<int>(4 + i));
    }
    const auto tooMany = identity(0x2000, 1);
    EXPECT_EQ(kestrune_disk_number_acquire(&tooMany), -1);
    EXPECT_EQ(kestrune_disk_number_acquire(&b), 1);
    EXPECT_EQ(kestrune_disk_number_resolve(32, &resolved), 0);
    EXPECT_EQ(kestrune_disk_number_acquire(nullptr), -1);

    // An unterminated path is cut, never read past its buffer.
    KestruneDiskIdentity longPath = identity(0x3000, 1);
    std::memset(longPath.path, 'x', sizeof longPath.path);
    kestrune_disk_number_release(31);
    EXPECT_EQ(kestrune_disk_number_acquire(&longPath), 31);
    ASSERT_EQ(kestrune_disk_number_resolve(31, &resolved), 1);
    EXPECT_EQ(std::strlen(resolved.path), sizeof resolved.path - 1);
    releaseAllNumbers();
}

TEST(DiskNumbers, AHandedDescriptorIsTakenOnceAndClosedWithItsNumber) {
    releaseAllNumbers();
    const auto disk = identity(0x810, 1);
    ASSERT_EQ(kestrune_disk_number_acquire(&disk), 0);
    auto newDescriptor = [] { return ::open("/dev/null", O_RDONLY | O_CLOEXEC); };
    auto isOpen = [](int fd) { return fcntl(fd, F_GETFD) >= 0; };

    const int first = newDescriptor();
    EXPECT_EQ(kestrune_disk_number_hand_over(0, first), 1);
    EXPECT_EQ(kestrune_disk_number_take(0), first);
    EXPECT_EQ(kestrune_disk_number_take(0), -1);
    // A newer descriptor replaces one nobody took, and a released number closes its own.
    const int second = newDescriptor();
    EXPECT_EQ(kestrune_disk_number_hand_over(0, second), 1);
    EXPECT_EQ(kestrune_disk_number_hand_over(0, first), 1);
    EXPECT_FALSE(isOpen(second));
    kestrune_disk_number_release(0);
    EXPECT_FALSE(isOpen(first));
    // A free number takes nothing: the caller keeps its descriptor.
    const int third = newDescriptor();
    EXPECT_EQ(kestrune_disk_number_hand_over(0, third), 0);
    EXPECT_EQ(kestrune_disk_number_hand_over(KESTRUNE_DISK_NUMBER_COUNT, third), 0);
    EXPECT_TRUE(isOpen(third));
    EXPECT_EQ(kestrune_disk_number_take(0), -1);
    ::close(third);
    releaseAllNumbers();
}

TEST(SizeText, UnitsThresholdsAndTheReportSize) {
    EXPECT_EQ(formatSizeText(999), "999.00 B");
    EXPECT_EQ(formatSizeText(1000), "0.98 KB");
    EXPECT_EQ(formatSizeText(1023), "1.00 KB");
    EXPECT_EQ(formatSizeText(1048576), "1.00 MB");
    EXPECT_EQ(formatSizeText(4000000000), "3.73 GB");
    EXPECT_EQ(formatGigabytesText(4000000000), "3.73");
    EXPECT_EQ(formatSizeText(1000000000000), "931.32 GB");
    // From 1000 GB on the size keeps a unit instead of becoming empty.
    EXPECT_EQ(formatSizeText(1099511627776), "1.00 TB");
    EXPECT_EQ(formatSizeText(1000LL * 1024 * 1024 * 1024), "0.98 TB");
}

TEST(SizeText, VolumeNamesReadLikeDriveLetters) {
    VolumeInfo mounted{"sdb1", "/dev/sdb1", 0, "DATA", "/media/u/DATA", "vfat"};
    VolumeInfo unmounted{"sdb2", "/dev/sdb2", 0, "BACKUP", "", "vfat"};
    VolumeInfo bare{"sdb3", "/dev/sdb3", 0, "", "", ""};
    VolumeInfo bareMounted{"sdb4", "/dev/sdb4", 0, "", "/mnt/x", "ext4"};
    EXPECT_EQ(kestrune::volumeDisplayText(mounted), "DATA (/media/u/DATA)");
    EXPECT_EQ(kestrune::volumeDisplayText(unmounted), "BACKUP (sdb2)");
    EXPECT_EQ(kestrune::volumeDisplayText(bare), "(sdb3)");
    EXPECT_EQ(kestrune::volumeDisplayText(bareMounted), "(/mnt/x)");
}

class FixedEnumerator final : public kestrune::platform::DiskEnumerator {
public:
    std::optional<std::vector<DiskInfo>> enumerate() const override {
        std::lock_guard guard(mutex);
        if (fail)
            return std::nullopt;
        return disks;
    }
    mutable std::mutex mutex;
    std::vector<DiskInfo> disks;
    bool fail = false;
};

class CountingNotifier final : public kestrune::DeviceScanNotifier {
public:
    void deviceListEmpty() override { ++empty; }
    void deviceListFilled() override { ++filled; }
    std::atomic<int> empty{0};
    std::atomic<int> filled{0};
};

DiskInfo stick(const QString& name, std::uint64_t devt, std::uint64_t size) {
    DiskInfo disk;
    disk.name = name;
    disk.identity.path = "/dev/" + name;
    disk.identity.devt = devt;
    disk.identity.diskseq = devt * 10;
    disk.vendor = "Vendor";
    disk.product = "Stick " + name;
    disk.serial = "SN-" + name;
    disk.bus = "USB";
    disk.sizeBytes = size;
    disk.hasMedium = size > 0;
    return disk;
}

class Scan : public ::testing::Test {
protected:
    void SetUp() override {
        releaseAllNumbers();
        sources.enumerator = &enumerator;
        sources.text = [](const QString& key) { return key == "N/A" ? QString("n/v") : QString(); };
    }
    void TearDown() override { releaseAllNumbers(); }

    int scan() { return kestrune::scanDevices(table, list, notifier, sources); }

    // Every row shows its record, in the same order.
    void expectRowsMatchRecords() {
        ASSERT_EQ(list.rowCount(), table.size());
        for (int row = 0; row < table.size(); ++row) {
            EXPECT_EQ(list.recordOfRow(row), table.recordAt(row)) << "row " << row;
            EXPECT_EQ(list.cellText(row, DeviceListModel::NameColumn),
                      table.recordAt(row)->displayName);
            // The command line words a disk from the enumeration as the row shows it.
            for (const DiskInfo& disk : enumerator.disks)
                if (disk.identity.path == table.recordAt(row)->devicePath) {
                    const RowDisk expected = rowDiskOf(disk, "n/v");
                    const RowDisk shown = list.diskOfRecord(table.recordAt(row).get());
                    EXPECT_EQ(shown.device, expected.device) << "row " << row;
                    EXPECT_EQ(shown.size, expected.size) << "row " << row;
                    EXPECT_EQ(shown.volumes, expected.volumes) << "row " << row;
                    EXPECT_EQ(shown.path, expected.path) << "row " << row;
                }
        }
    }

    FixedEnumerator enumerator;
    CountingNotifier notifier;
    kestrune::DeviceScanSources sources;
    DeviceTable table;
    DeviceListModel list;
};

TEST_F(Scan, NewDisksGetNumbersRowsAndTexts) {
    DiskInfo a = stick("sdb", 0x810, 4000000000);
    a.volumes = {{"sdb1", "/dev/sdb1", 0, "DATA", "/media/u/DATA", "vfat"},
                 {"sdb2", "/dev/sdb2", 0, "BACKUP", "", "vfat"}};
    DiskInfo reader = stick("sdc", 0x820, 0);
    reader.vendor = "";
    enumerator.disks = {a, reader};
    EXPECT_EQ(scan(), 2);

    ASSERT_EQ(table.size(), 2);
    const auto first = table.recordAt(0);
    EXPECT_EQ(first->deviceNumber, 0u);
    EXPECT_EQ(first->devicePath, "/dev/sdb");
    EXPECT_EQ(first->serialText, "SN-sdb");
    EXPECT_EQ(first->busText, "USB");
    EXPECT_EQ(first->vendorText, "Vendor");
    EXPECT_EQ(first->productText, "Stick sdb");
    EXPECT_EQ(first->sizeGigabytesText, "3.73");
    EXPECT_TRUE(first->hasMedium);
    EXPECT_EQ(first->displayName, "DATA (/media/u/DATA), BACKUP (sdb2)");
    EXPECT_EQ(first->volumeReference, "/dev/sdb2");
    EXPECT_EQ(list.cellText(0, DeviceListModel::DeviceColumn), "Vendor Stick sdb");
    EXPECT_EQ(list.cellText(0, DeviceListModel::SizeColumn), "3.73 GB");

    // The empty reader comes after a disk with a size: it must not inherit that size.
    const auto second = table.recordAt(1);
    EXPECT_EQ(second->deviceNumber, 1u);
    EXPECT_FALSE(second->hasMedium);
    EXPECT_EQ(second->sizeGigabytesText, "");
    EXPECT_EQ(second->displayName, "");
    EXPECT_EQ(list.cellText(1, DeviceListModel::SizeColumn), "n/v");
    EXPECT_EQ(list.cellText(1, DeviceListModel::DeviceColumn), "Stick sdc");
    EXPECT_EQ(notifier.filled, 1);
    EXPECT_EQ(notifier.empty, 0);
    expectRowsMatchRecords();
}

TEST_F(Scan, RefreshKeepsJobFieldsAndGoneDisksLoseRowsAndNumbers) {
    enumerator.disks = {stick("sdb", 0x810, 1 << 30), stick("sdc", 0x820, 1 << 30),
                        stick("sdd", 0x830, 1 << 30)};
    scan();
    const auto middle = table.recordAt(1);
    middle->setState(JobState::Finished);
    list.setCellText(1, DeviceListModel::StatusColumn, "done");

    enumerator.disks[1].product = "Renamed";
    enumerator.disks.erase(enumerator.disks.begin()); // sdb is unplugged
    scan();
    ASSERT_EQ(table.size(), 2);
    EXPECT_EQ(table.recordAt(0), middle);
    EXPECT_EQ(middle->state(), JobState::Finished);
    EXPECT_EQ(middle->productText, "Renamed");
    EXPECT_EQ(list.cellText(0, DeviceListModel::DeviceColumn), "Vendor Renamed");
    EXPECT_EQ(list.cellText(0, DeviceListModel::StatusColumn), "done");
    expectRowsMatchRecords();

    // Number 0 was freed with sdb: a new disk takes it and sorts first.
    enumerator.disks.push_back(stick("sde", 0x840, 1 << 30));
    scan();
    ASSERT_EQ(table.size(), 3);
    EXPECT_EQ(table.recordAt(0)->devicePath, "/dev/sde");
    EXPECT_EQ(table.recordAt(0)->deviceNumber, 0u);
    expectRowsMatchRecords();

    enumerator.disks.clear();
    scan();
    EXPECT_EQ(table.size(), 0);
    EXPECT_EQ(list.rowCount(), 0);
    EXPECT_EQ(notifier.empty, 1);
    KestruneDiskIdentity resolved{};
    for (std::uint32_t n = 0; n < 3; ++n)
        EXPECT_EQ(kestrune_disk_number_resolve(n, &resolved), 0) << n;
}

TEST_F(Scan, DiskUnpluggedWhileItsJobRunsKeepsItsNumberUntilTheJobEnds) {
    table.setRemoveWait(3, 10);
    enumerator.disks = {stick("sdb", 0x810, 1 << 30)};
    scan();
    const auto running = table.recordAt(0);
    running->setState(JobState::Running);
    running->workers = 1;

    enumerator.disks.clear();
    scan();
    EXPECT_EQ(table.size(), 0);
    EXPECT_EQ(list.rowCount(), 0);
    EXPECT_TRUE(running->abort.raised());
    KestruneDiskIdentity resolved{};
    EXPECT_EQ(kestrune_disk_number_resolve(0, &resolved), 1);

    // Meanwhile another stick must not take the number the job still reports under.
    enumerator.disks = {stick("sdc", 0x820, 1 << 30)};
    scan();
    EXPECT_EQ(table.recordAt(0)->deviceNumber, 1u);

    // Its state changing is not enough: the worker may still report under the number.
    running->setState(JobState::Aborted);
    scan();
    EXPECT_EQ(kestrune_disk_number_resolve(0, &resolved), 1);
    running->workers = 0;
    scan();
    EXPECT_EQ(kestrune_disk_number_resolve(0, &resolved), 0);
}

// A failed enumeration is not "no disks": nothing is removed and no job is aborted.
TEST_F(Scan, AnEnumerationThatFailsChangesNothing) {
    enumerator.disks = {stick("sdb", 0x810, 1 << 30), stick("sdc", 0x820, 1 << 30)};
    scan();
    table.setRemoveWait(1, 1); // the running disk goes at the end; its job is no real one
    const auto running = table.recordAt(1);
    running->setState(JobState::Running);
    enumerator.fail = true;
    scan();
    EXPECT_EQ(table.size(), 2);
    EXPECT_EQ(list.rowCount(), 2);
    EXPECT_FALSE(running->abort.raised());
    EXPECT_FALSE(running->stale.load());
    EXPECT_EQ(notifier.empty, 0);
    expectRowsMatchRecords();
    enumerator.fail = false;
    enumerator.disks.pop_back();
    scan();
    EXPECT_EQ(table.size(), 1);
}

TEST_F(Scan, DeviceColumnJoinsVendorAndProductWithoutStrayBlanks) {
    DiskInfo vendorOnly = stick("sdb", 0x810, 512);
    vendorOnly.product = "";
    DiskInfo productOnly = stick("sdc", 0x820, 512);
    productOnly.vendor = "";
    enumerator.disks = {vendorOnly, productOnly};
    scan();
    EXPECT_EQ(list.cellText(0, DeviceListModel::DeviceColumn), "Vendor");
    EXPECT_EQ(list.cellText(1, DeviceListModel::DeviceColumn), "Stick sdc");
}

TEST_F(Scan, EachDiskBeyondTheNumbersHasARowSayingWhyItCannotBeErased) {
    sources.text = [](const QString& key) { return key + " %s"; };
    for (std::uint64_t i = 0; i < 34; ++i)
        enumerator.disks.push_back(stick(QString("d%1").arg(i), 0x1000 + i, 512));
    scan();
    scan(); // seen again: neither merged nor doubled
    ASSERT_EQ(table.size(), 34);
    EXPECT_EQ(list.cellText(32, DeviceListModel::StatusColumn), "status_no_disk_number 32");
    EXPECT_EQ(list.cellText(33, DeviceListModel::StatusColumn), "status_no_disk_number 32");
    expectRowsMatchRecords();
}

} // namespace
