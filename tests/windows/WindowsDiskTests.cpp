// The Windows disk access against disks played through its Win32 calls: what Wine cannot
// show (a physical drive's length, its volumes and their locks, write protection, a stick
// pulled, sectors of 4096 bytes).
#include "FakeWin32.h"
#include "SmallBlocks.h"

#include "shredengine/WindowsDisk.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <set>

using namespace kestrune::engine;
using fakewin32::Disk;
using fakewin32::Volume;

namespace {

constexpr uint32_t kStick = 3;
constexpr uint8_t kOld = 0x5A;

struct Findings {
    std::vector<std::pair<int32_t, int64_t>> seen;
    int64_t value(int32_t finding) const {
        for (const auto& [status, second] : seen)
            if (status == finding)
                return second;
        return -1;
    }
};

void collect(void* context, int32_t, int32_t status, int64_t, int64_t second, double) {
    if (status >= SHRED_FINDING_FIRST && status <= SHRED_FINDING_LAST)
        static_cast<Findings*>(context)->seen.emplace_back(status, second);
}

// A machine with its system on disk 0, a stick as disk 3 with two volumes (E:, F:) and
// another stick as disk 4 (G:).
class WindowsDiskTest : public testing::Test {
protected:
    WindowsDiskTest()
        : system(windows.addVolume(L'C', {0})), first(windows.addVolume(L'E', {kStick})),
          second(windows.addVolume(L'F', {kStick})), other(windows.addVolume(L'G', {4})) {
        windows.addDisk(0, 4 << 20, 0x11).removableMedia = FALSE;
        windows.disks[0].bus = BusTypeNvme;
        windows.addDisk(4, 1 << 20, 0x44);
    }

    Disk& stick(size_t size = (2 << 20) + 1536, uint8_t fill = kOld) {
        return windows.addDisk(kStick, size, fill);
    }
    int32_t shred(int32_t algorithm = ALGORITHM_ZERO, uint32_t letter = L'F',
                  const unsigned char* abortFlag = nullptr) {
        WindowsDiskOptions options;
        options.lockWait = std::chrono::milliseconds(300);
        return shredWindowsDisk(windows.calls<Win32Calls>(), physicalDrivePath(kStick), kStick,
                                letter, algorithm, collect, &findings, abortFlag, options,
                                smallBlocks());
    }
    std::unique_ptr<WindowsDisk> open(int32_t& status) {
        std::unique_ptr<WindowsDisk> disk;
        status = WindowsDisk::open(windows.calls<Win32Calls>(), physicalDrivePath(kStick), kStick,
                                   0, {}, disk);
        return disk;
    }
    bool untouched(uint32_t number, uint8_t fill) const {
        const std::vector<uint8_t>& bytes = windows.disks.at(number).bytes;
        return std::all_of(bytes.begin(), bytes.end(), [fill](uint8_t b) { return b == fill; });
    }

    fakewin32::Windows windows;
    Volume& system;
    Volume& first;
    Volume& second;
    Volume& other;
    Findings findings;
};

} // namespace

TEST_F(WindowsDiskTest, AWholeJobLocksTheDisksVolumesAndOverwritesEverySector) {
    Disk& disk = stick();
    const size_t size = disk.bytes.size();
    EXPECT_EQ(shred(ALGORITHM_THREE_PASS), SHRED_STATUS_SHREDDED);

    EXPECT_EQ(disk.openFlags & (FILE_FLAG_NO_BUFFERING | FILE_FLAG_WRITE_THROUGH),
              DWORD{FILE_FLAG_NO_BUFFERING | FILE_FLAG_WRITE_THROUGH});
    EXPECT_FALSE(disk.writtenWhileMounted);
    EXPECT_GE(disk.written, 3 * size);
    EXPECT_EQ(std::set<uint8_t>(disk.bytes.begin(), disk.bytes.end()).size(), 256u);
    EXPECT_LT(std::count(disk.bytes.end() - 1536, disk.bytes.end(), kOld), 40);
    // Both volumes of the stick were locked and dismounted for the job, and are free again.
    for (const Volume* volume : {&first, &second}) {
        EXPECT_EQ(volume->timesLocked, 1);
        EXPECT_TRUE(volume->dismounted);
        EXPECT_FALSE(volume->locked);
    }
    EXPECT_EQ(system.timesLocked + other.timesLocked, 0);
    EXPECT_FALSE(system.dismounted || other.dismounted);
    EXPECT_TRUE(untouched(0, 0x11) && untouched(4, 0x44));
    EXPECT_EQ(windows.openHandles(), 0u);
    EXPECT_EQ(disk.propertyUpdates, 1);
    EXPECT_EQ(findings.value(SHRED_FINDING_PASSES_DONE), 3);
    EXPECT_EQ(findings.value(SHRED_FINDING_CAPACITY), static_cast<int64_t>(size));
    EXPECT_EQ(findings.value(SHRED_FINDING_VERIFIED), 0);
}

// Each refusal comes before the first write and leaves no volume locked and nothing open.
TEST_F(WindowsDiskTest, RefusesTheWrongDiskWithItsReasonAndWritesNothing) {
    struct Case {
        const char* what;
        void (*arrange)(fakewin32::Windows&, Disk&);
        uint32_t letter;
        int32_t status;
    };
    const Case cases[] = {
        {"system volume on the stick",
         [](fakewin32::Windows& w, Disk&) { w.volumes[0]->disks = {kStick}; }, 0,
         SHRED_STATUS_FAILED_SYSTEM_DISK},
        {"system volume unknown", [](fakewin32::Windows& w, Disk&) { w.systemVolumeKnown = false; },
         0, SHRED_STATUS_FAILED_BUSY},
        {"fixed disk on SATA",
         [](fakewin32::Windows&, Disk& d) {
             d.removableMedia = FALSE;
             d.bus = BusTypeSata;
         },
         0, SHRED_STATUS_FAILED_MEDIA},
        {"drive letter on another disk", [](fakewin32::Windows&, Disk&) {}, L'G',
         SHRED_STATUS_FAILED_MEDIA},
        {"write-protect switch", [](fakewin32::Windows&, Disk& d) { d.writeProtected = true; }, 0,
         SHRED_STATUS_FAILED_WRITE_PROTECTED},
        {"no such disk", [](fakewin32::Windows&, Disk& d) { d.pulled = true; }, 0,
         SHRED_STATUS_FAILED_MEDIA},
        {"no right to open it",
         [](fakewin32::Windows&, Disk& d) { d.openError = ERROR_ACCESS_DENIED; }, 0,
         SHRED_STATUS_FAILED_PERMISSION},
        {"held by another program",
         [](fakewin32::Windows&, Disk& d) { d.openError = ERROR_SHARING_VIOLATION; }, 0,
         SHRED_STATUS_FAILED_HELD},
        {"length unreadable, no medium",
         [](fakewin32::Windows&, Disk& d) { d.lengthError = ERROR_NOT_READY; }, 0,
         SHRED_STATUS_FAILED_MEDIA},
        {"empty medium", [](fakewin32::Windows&, Disk& d) { d.bytes.clear(); }, 0,
         SHRED_STATUS_FAILED_MEDIA},
        {"second volume stays in use",
         [](fakewin32::Windows& w, Disk&) { w.volumes[2]->lockRefusals = -1; }, 0,
         SHRED_STATUS_FAILED_BUSY},
        {"second volume does not dismount",
         [](fakewin32::Windows& w, Disk&) { w.volumes[2]->dismountFails = true; }, 0,
         SHRED_STATUS_FAILED_BUSY},
        {"no right to lock a volume",
         [](fakewin32::Windows& w, Disk&) { w.volumes[1]->openError = ERROR_ACCESS_DENIED; }, 0,
         SHRED_STATUS_FAILED_PERMISSION},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        fakewin32::Windows machine;
        machine.addVolume(L'C', {0});
        machine.addVolume(L'E', {kStick});
        machine.addVolume(L'F', {kStick});
        machine.addVolume(L'G', {4});
        machine.addDisk(0, 1 << 20, 0x11).removableMedia = FALSE;
        machine.addDisk(4, 1 << 20, 0x44);
        Disk& disk = machine.addDisk(kStick, 1 << 20, kOld);
        c.arrange(machine, disk);
        Findings seen;
        EXPECT_EQ(shredWindowsDisk(machine.calls<Win32Calls>(), physicalDrivePath(kStick), kStick,
                                   c.letter, ALGORITHM_ZERO, collect, &seen, nullptr,
                                   {true, std::chrono::milliseconds(100)}, smallBlocks()),
                  c.status);
        EXPECT_EQ(disk.written, 0u);
        EXPECT_TRUE(
            std::all_of(disk.bytes.begin(), disk.bytes.end(), [](uint8_t b) { return b == kOld; }));
        EXPECT_TRUE(seen.seen.empty());
        for (const auto& volume : machine.volumes)
            EXPECT_FALSE(volume->locked);
        EXPECT_EQ(machine.openHandles(), 0u);
    }
}

// A stick that calls its medium fixed is still removable by its bus; the letter the
// program found on it confirms the number; a volume of the stick that cannot say where it
// lies is no reason to refuse (its sectors stay closed to writes while it is mounted).
TEST_F(WindowsDiskTest, AcceptsAUsbDiskWithAFixedMediumAndItsOwnDriveLetter) {
    Disk& disk = stick(1 << 20);
    disk.removableMedia = FALSE;
    other.tellsExtents = false;
    EXPECT_EQ(shred(ALGORITHM_ZERO, L'E'), SHRED_STATUS_SHREDDED);
    EXPECT_TRUE(untouched(kStick, 0));
}

TEST_F(WindowsDiskTest, AVolumeInUseIsAskedAgainUntilItsFilesClose) {
    stick(1 << 20);
    first.lockRefusals = 3;
    EXPECT_EQ(shred(), SHRED_STATUS_SHREDDED);
    EXPECT_EQ(first.timesLocked, 1);
    EXPECT_TRUE(untouched(kStick, 0));
}

TEST_F(WindowsDiskTest, WhatBecomesOfTheStickDuringTheJobEndsItWithItsCause) {
    struct Case {
        const char* what;
        void (*arrange)(Disk&);
        int32_t status;
    };
    const Case cases[] = {
        {"pulled", [](Disk& d) { d.pullAfter = 512 << 10; }, SHRED_STATUS_FAILED_MEDIA},
        {"switch set", [](Disk& d) { d.protectAfter = 512 << 10; },
         SHRED_STATUS_FAILED_WRITE_PROTECTED},
        {"failing sectors",
         [](Disk& d) {
             d.failAfter = 512 << 10;
             d.writeError = ERROR_CRC;
         },
         SHRED_STATUS_FAILED_MEDIA},
        {"writes refused",
         [](Disk& d) {
             d.failAfter = 512 << 10;
             d.writeError = ERROR_ACCESS_DENIED;
         },
         SHRED_STATUS_FAILED_WRITE},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Disk& disk = stick(2 << 20);
        c.arrange(disk);
        findings.seen.clear();
        EXPECT_EQ(shred(ALGORITHM_RANDOM), c.status);
        EXPECT_EQ(findings.value(SHRED_FINDING_PASSES_DONE), 0);
        EXPECT_EQ(findings.value(SHRED_FINDING_VERIFIED), -1);
        EXPECT_EQ(windows.openHandles(), 0u);
        EXPECT_FALSE(first.locked || second.locked);
    }
}

// Wine's drive letters do not tell their length: the end is found by reading.
TEST_F(WindowsDiskTest, ADiskThatDoesNotTellItsLengthIsMeasuredByReading) {
    for (size_t sectors : {size_t{1}, size_t{2}, size_t{4096}, size_t{6000}, size_t{12345}}) {
        SCOPED_TRACE(sectors);
        Disk& disk = stick(sectors * 512);
        disk.tellsLength = false;
        int32_t status = -1;
        auto opened = open(status);
        ASSERT_EQ(status, 0);
        EXPECT_EQ(opened->device().size(), sectors * 512);
        EXPECT_EQ(opened->mediumCheck(), 0);
        disk.pulled = true;
        EXPECT_EQ(opened->mediumCheck(), SHRED_STATUS_FAILED_MEDIA);
    }
    Disk& disk = stick(3 << 20);
    disk.tellsLength = false;
    EXPECT_EQ(shred(ALGORITHM_ZERO), SHRED_STATUS_SHREDDED);
    EXPECT_TRUE(untouched(kStick, 0));
}

TEST_F(WindowsDiskTest, ADiskThatShrankOrLostItsMediumFailsTheMediumCheck) {
    Disk& disk = stick(1 << 20);
    int32_t status = -1;
    auto opened = open(status);
    ASSERT_EQ(status, 0);
    EXPECT_EQ(opened->mediumCheck(), 0);
    disk.bytes.resize(512 << 10);
    EXPECT_EQ(opened->mediumCheck(), SHRED_STATUS_FAILED_MEDIA);
    disk.bytes.resize(1 << 20);
    disk.lengthError = ERROR_NO_MEDIA_IN_DRIVE;
    EXPECT_EQ(opened->mediumCheck(), SHRED_STATUS_FAILED_MEDIA);
    disk.lengthError = 0;
    disk.writeProtected = true;
    EXPECT_EQ(opened->mediumCheck(), SHRED_STATUS_FAILED_WRITE_PROTECTED);
}

// Sectors of 4096 bytes: whatever the place, length and memory, only whole sectors reach
// the disk, and the bytes around what is written stay.
TEST_F(WindowsDiskTest, TransfersAnywhereInWholeSectorsOfTheDisksSize) {
    Disk& disk = stick(64 << 10, 0x00);
    disk.sector = 4096;
    for (Volume* volume : {&first, &second})
        volume->disks = {9}; // no volume to lock: writes go through
    int32_t status = -1;
    auto opened = open(status);
    ASSERT_EQ(status, 0);
    BlockDevice& device = opened->device();
    EXPECT_EQ(device.alignment(), 4096u);
    std::vector<uint8_t> data(3 * 4096 + 2);
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<uint8_t>(i * 7 + 1);
    std::vector<uint8_t> expected(disk.bytes.size(), 0);
    auto write = [&](const uint8_t* from, size_t length, uint64_t offset) {
        std::copy(from, from + length, expected.begin() + static_cast<long>(offset));
        return device.writeAt(from, length, offset);
    };
    // From memory off any alignment, across sectors, over the end and inside one sector.
    EXPECT_EQ(write(data.data() + 1, 5000, 4095), 0);
    EXPECT_EQ(write(data.data(), 300, (64 << 10) - 300), 0);
    EXPECT_EQ(write(data.data(), 10, 100), 0);
    EXPECT_EQ(write(data.data() + 2, 3 * 4096, 8192), 0);
    EXPECT_EQ(device.sync(), 0);
    EXPECT_EQ(disk.bytes, expected);
    std::vector<uint8_t> back(5000);
    EXPECT_EQ(device.readAt(back.data() + 1, 4000, 4096 + 7), 0);
    EXPECT_TRUE(std::equal(back.begin() + 1, back.begin() + 4001, disk.bytes.begin() + 4096 + 7));
    EXPECT_EQ(device.writeAt(data.data(), 4096, (64 << 10) - 2048), ENOSPC);
    EXPECT_EQ(device.readAt(back.data(), 4096, 64 << 10), EIO);
}

TEST(Win32Errors, AnOpenThatFailsNamesItsCause) {
    const std::pair<DWORD, int32_t> cases[] = {
        {ERROR_FILE_NOT_FOUND, SHRED_STATUS_FAILED_MEDIA},
        {ERROR_NOT_READY, SHRED_STATUS_FAILED_MEDIA},
        {ERROR_DEVICE_NOT_CONNECTED, SHRED_STATUS_FAILED_MEDIA},
        {ERROR_ACCESS_DENIED, SHRED_STATUS_FAILED_PERMISSION},
        {ERROR_WRITE_PROTECT, SHRED_STATUS_FAILED_WRITE_PROTECTED},
        {ERROR_SHARING_VIOLATION, SHRED_STATUS_FAILED_HELD},
        {ERROR_DRIVE_LOCKED, SHRED_STATUS_FAILED_HELD},
        {ERROR_NOT_ENOUGH_MEMORY, ENGINE_STATUS_NO_RESOURCES},
    };
    for (const auto& [win32, status] : cases)
        EXPECT_EQ(statusFromWin32(win32), status) << win32;
}
