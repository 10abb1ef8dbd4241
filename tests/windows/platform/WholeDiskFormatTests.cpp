// The whole-disk format of the program on Windows, against disks played through its Win32
// calls as the documentation describes them: the volumes locked and dismounted before any
// write, the table the system is asked for, the FAT on the partition, and every refusal or
// failure said, never a success.
#include "../FakeWin32.h"

#include "platform/windows/WholeDiskFormat.h"

#include "base/AbortFlag.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

using namespace kestrune::platform;
using fakewin32::Disk;

namespace {

constexpr uint32_t kStick = 3;
constexpr size_t kMiB = 1 << 20;

// A machine with its system on disk 0 and a stick as disk 3 with two volumes (E:, F:).
class WholeDiskFormatTest : public testing::Test {
protected:
    WholeDiskFormatTest() {
        windows.addVolume(L'C', {0});
        windows.addVolume(L'E', {kStick});
        windows.addVolume(L'F', {kStick});
        windows.addDisk(0, 4 * kMiB, 0x11).removableMedia = FALSE;
        windows.disks[0].bus = BusTypeNvme;
        windows.addDisk(kStick, 64 * kMiB, 0x5A);
        request.deviceNumber = kStick;
        request.label = "SHREDDED";
        request.lockWait = std::chrono::milliseconds(0);
        request.beforePartitioning = [this] { ++hooks; };
        request.afterPartitioning = [this] { --hooks; };
    }
    WholeDiskOutcome format() { return formatPhysicalDrive(windows.calls<FormatCalls>(), request); }
    Disk& stick() { return windows.disks[kStick]; }
    const uint8_t* at(uint64_t offset) { return stick().bytes.data() + offset; }
    static uint32_t word(const uint8_t* p) { return p[0] | p[1] << 8 | p[2] << 16 | p[3] << 24; }

    fakewin32::Windows windows;
    WholeDiskFormat request;
    int hooks = 0;
};

} // namespace

TEST_F(WholeDiskFormatTest, TheVolumesGoBeforeTheTableAndTheFatLiesOnTheNewPartition) {
    std::vector<int> percents;
    request.progress = [&](int percent) { percents.push_back(percent); };
    const WholeDiskOutcome outcome = format();
    ASSERT_TRUE(outcome.formatted) << outcome.failure;
    EXPECT_TRUE(outcome.labelled);
    EXPECT_EQ(outcome.failure, "");
    EXPECT_FALSE(stick().writtenWhileMounted);
    EXPECT_EQ(hooks, 0);
    EXPECT_EQ(windows.openHandles(), 0u);
    EXPECT_EQ(percents.back(), 100);

    // The stick's volumes are locked and dismounted first; then the geometry, the new
    // table, and the system told of it before and after the file system is written.
    std::vector<std::pair<wchar_t, DWORD>> order;
    for (const fakewin32::Control& control : windows.controls)
        if (control.code != IOCTL_VOLUME_GET_VOLUME_DISK_EXTENTS &&
            control.code != IOCTL_STORAGE_QUERY_PROPERTY)
            order.emplace_back(control.volume, control.code);
    const std::vector<std::pair<wchar_t, DWORD>> expected = {
        {L'E', FSCTL_LOCK_VOLUME},
        {L'E', FSCTL_DISMOUNT_VOLUME},
        {L'F', FSCTL_LOCK_VOLUME},
        {L'F', FSCTL_DISMOUNT_VOLUME},
        {0, IOCTL_DISK_GET_DRIVE_GEOMETRY_EX},
        {0, IOCTL_DISK_CREATE_DISK},
        {0, IOCTL_DISK_SET_DRIVE_LAYOUT_EX},
        {0, IOCTL_DISK_UPDATE_PROPERTIES},
        {0, IOCTL_DISK_UPDATE_PROPERTIES},
    };
    EXPECT_EQ(order, expected);

    // One MBR partition from 1 MiB to the end, FAT16 by its size; the other three emptied.
    EXPECT_EQ(stick().createdStyle, PARTITION_STYLE_MBR);
    ASSERT_GE(stick().layout.size(),
              sizeof(DRIVE_LAYOUT_INFORMATION_EX) + 3 * sizeof(PARTITION_INFORMATION_EX));
    const auto* layout =
        reinterpret_cast<const DRIVE_LAYOUT_INFORMATION_EX*>(stick().layout.data());
    EXPECT_EQ(layout->PartitionStyle, DWORD(PARTITION_STYLE_MBR));
    EXPECT_EQ(layout->PartitionCount, 4u);
    EXPECT_NE(layout->Mbr.Signature, 0u);
    EXPECT_EQ(layout->Mbr.Signature, stick().createdSignature);
    const PARTITION_INFORMATION_EX& first = layout->PartitionEntry[0];
    EXPECT_EQ(first.StartingOffset.QuadPart, LONGLONG(kMiB));
    EXPECT_EQ(first.PartitionLength.QuadPart, LONGLONG(63 * kMiB));
    EXPECT_EQ(first.Mbr.PartitionType, 0x0E);
    EXPECT_EQ(first.Mbr.HiddenSectors, 2048u);
    EXPECT_TRUE(first.RewritePartition);
    for (int i = 1; i < 4; ++i) {
        EXPECT_TRUE(layout->PartitionEntry[i].RewritePartition);
        EXPECT_EQ(layout->PartitionEntry[i].Mbr.PartitionType, PARTITION_ENTRY_UNUSED);
    }

    // The file system where the partition begins, and zeros before it.
    const uint8_t* boot = at(kMiB);
    EXPECT_EQ(boot[510], 0x55);
    EXPECT_EQ(boot[511], 0xAA);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(boot) + 54, 8), "FAT16   ");
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(boot) + 43, 11), "SHREDDED   ");
    EXPECT_EQ(word(boot + 28), 2048u);
    EXPECT_TRUE(std::all_of(at(512), at(kMiB), [](uint8_t b) { return b == 0; }));
}

TEST_F(WholeDiskFormatTest, EachDiskSizeGetsItsTableAndItsFatsType) {
    struct Case {
        uint64_t bytes;
        uint32_t sector;
        bool gpt;
        int fatBits;
        uint8_t type;
    };
    const Case cases[] = {
        {4 * kMiB, 512, false, 12, 0x01},       {64 * kMiB, 512, false, 16, 0x0E},
        {16 * kMiB, 4096, false, 12, 0x01},     {1024 * kMiB, 512, false, 32, 0x0C},
        {uint64_t{3} << 40, 4096, true, 32, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.bytes << " bytes of " << c.sector << "-byte sectors");
        std::string why;
        const auto partition = planWholeDisk(c.bytes, c.sector, &why);
        ASSERT_TRUE(partition) << why;
        EXPECT_EQ(partition->gpt, c.gpt);
        EXPECT_EQ(partition->layout.fatBits, c.fatBits);
        EXPECT_EQ(partition->mbrType, c.type);
        EXPECT_EQ(partition->offset, kMiB);
        // A GPT keeps its backup in the last MiB.
        EXPECT_EQ(partition->offset + partition->length, c.bytes - (c.gpt ? kMiB : 0));
    }
    std::string why;
    EXPECT_FALSE(planWholeDisk(kMiB, 512, &why));
    EXPECT_EQ(why, "the disk is too small for a partition");
    // The FAT's sectors would have to be larger than the disk's.
    EXPECT_FALSE(planWholeDisk(uint64_t{3} << 40, 512, &why));
    EXPECT_EQ(why, "the disk is too large for a FAT32 file system Windows can read");
}

TEST_F(WholeDiskFormatTest, ARefusalOrAFailureIsSaidAndNeverASuccess) {
    struct Case {
        const char* name;
        std::function<void(fakewin32::Windows&, WholeDiskFormat&)> arrange;
        std::string failure;
        bool written;   // anything reached the stick
        bool formatted; // only a refused label leaves a formatted disk
        bool aborted = false;
    };
    kestrune::AbortFlag abort;
    const Case cases[] = {
        {"the disk cannot be opened",
         [](auto& w, auto&) { w.disks[kStick].openError = ERROR_ACCESS_DENIED; },
         "the disk cannot be opened: " + win32Text(ERROR_ACCESS_DENIED), false, false},
        {"not removable",
         [](auto& w, auto&) {
             w.disks[kStick].removableMedia = FALSE;
             w.disks[kStick].bus = BusTypeSata;
         },
         "the disk cannot be opened: it is not a removable disk", false, false},
        {"the system's disk",
         [](auto&, auto& r) {
             r.deviceNumber = 0;
             r.requireRemovable = false;
         },
         "the disk cannot be opened: the running system lives on it", false, false},
        {"a volume refuses its lock", [](auto& w, auto&) { w.volumes[2]->lockRefusals = -1; },
         "a volume on the disk stays in use: " + win32Text(ERROR_ACCESS_DENIED), false, false},
        {"the table is refused",
         [](auto& w, auto&) { w.disks[kStick].layoutError = ERROR_WRITE_PROTECT; },
         "cannot write the partition table: " + win32Text(ERROR_WRITE_PROTECT), true, false},
        {"a write fails", [](auto& w, auto&) { w.disks[kStick].failAfter = 2 * kMiB; },
         "zeroing the partition failed: Input/output error", true, false},
        {"the file system's write fails",
         [](auto& w, auto& r) {
             r.diskReadsAsZeros = true;
             w.disks[kStick].failAfter = kMiB - 512; // what lies before the partition
         },
         "cannot write the file system at byte ", true, false},
        {"aborted before it began",
         [&](auto&, auto& r) {
             abort.raise();
             r.abortFlag = abort.address();
         },
         "aborted before the partition table was written", false, false, true},
        {"a label FAT cannot keep", [](auto&, auto& r) { r.label = "A/B"; },
         "the label cannot be kept: a FAT label cannot hold \"/\"", true, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        windows.addDisk(kStick, 16 * kMiB, 0x5A);
        for (auto& volume : windows.volumes)
            *volume = fakewin32::Volume{volume->name, volume->letter, volume->disks};
        WholeDiskFormat wanted = request;
        c.arrange(windows, wanted);
        const WholeDiskOutcome outcome = formatPhysicalDrive(windows.calls<FormatCalls>(), wanted);
        EXPECT_EQ(outcome.failure.rfind(c.failure, 0), 0u) << outcome.failure;
        EXPECT_EQ(outcome.formatted, c.formatted);
        EXPECT_EQ(outcome.labelled, false);
        EXPECT_EQ(outcome.aborted, c.aborted);
        EXPECT_EQ(stick().written != 0, c.written);
        EXPECT_EQ(hooks, 0);
        EXPECT_EQ(windows.openHandles(), 0u);
    }
}
