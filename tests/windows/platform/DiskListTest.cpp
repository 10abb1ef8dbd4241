// The disk list against the answers Windows documents for SetupAPI and the storage and
// volume requests (Wine has no disks to give them).
#include "FakeDisks.h"
#include "platform/windows/SetupDiskEnumerator.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>

using kestrune::platform::DiskInfo;
using kestrune::platform::MediumType;
using kestrune::platform::UnlistedReason;
using kestrune::platform::windows_impl::explainUnlisted;
using kestrune::platform::windows_impl::SetupDiskEnumerator;

namespace {

// An internal system disk, a stick with three volumes, an empty card reader and a USB SSD.
class DiskList : public ::testing::Test {
protected:
    void SetUp() override {
        auto& system = windows.addDisk(0, "", "Samsung SSD 860 EVO 500GB");
        system.removalPolicy = 1; // CM_REMOVAL_POLICY_EXPECT_NO_REMOVAL
        system.bus = BusTypeSata;
        system.removableMedia = false;
        system.size = 500107862016;
        windows.systemVolume = windows.addVolume(L"C:\\", {0}).name;

        auto& stick = windows.addDisk(1, "SanDisk ", "Cruzer Blade    ");
        stick.serial = "4C530001230101109142";
        stick.size = 16008609792;
        auto& data = windows.addVolume(L"E:\\", {1});
        data.label = L"DATA";
        auto& backup = windows.addVolume(L"F:\\", {1});
        backup.partition = 2;
        backup.label = L"BACKUP";
        backup.fileSystem = L"exFAT";
        auto& hidden = windows.addVolume(L"", {1});
        hidden.partition = 3;
        hidden.fileSystem = L"";

        auto& reader = windows.addDisk(2, "Generic-", "SD/MMC Reader");
        reader.instanceId = L"USBSTOR\\DISK&VEN_GENERIC-&PROD_SD/MMC\\000000001536&0";

        auto& ssd = windows.addDisk(3, "Samsung", "Portable SSD T5");
        ssd.removableMedia = false;
        ssd.size = 500107862016;
        ssd.instanceId = L"USBSTOR\\DISK&VEN_SAMSUNG&PROD_PORTABLE_SSD\\7&2a9c3f1&0";
    }

    // The desk again, with nothing broken.
    void reset() {
        windows.disks.clear();
        windows.volumes.clear();
        SetUp();
    }

    fakedisks::Windows windows;
    SetupDiskEnumerator enumerator{windows.calls()};
};

TEST_F(DiskList, RemovableDisksAreListedWithTheirVolumesAndFixedOnesAreNot) {
    const auto disks = enumerator.enumerate();
    ASSERT_TRUE(disks);
    ASSERT_EQ(disks->size(), 3u);
    EXPECT_EQ(windows.openHandles(), 0u);

    const DiskInfo& stick = (*disks)[0];
    EXPECT_EQ(stick.identity.path, "\\\\.\\PhysicalDrive1");
    EXPECT_EQ(stick.name, "PhysicalDrive1");
    EXPECT_EQ(stick.identity.devt, 1u);
    EXPECT_NE(stick.identity.diskseq, (*disks)[1].identity.diskseq);
    EXPECT_FALSE(stick.identity.simulated);
    EXPECT_EQ(stick.vendor, "SanDisk");
    EXPECT_EQ(stick.product, "Cruzer Blade");
    EXPECT_EQ(stick.serial, "4C530001230101109142");
    EXPECT_EQ(stick.bus, "USB");
    EXPECT_EQ(stick.mediumType, MediumType::UsbFlashDrive);
    EXPECT_EQ(stick.sizeBytes, 16008609792u);
    EXPECT_TRUE(stick.hasMedium);
    EXPECT_FALSE(stick.readOnly);
    ASSERT_EQ(stick.volumes.size(), 3u);
    EXPECT_EQ(stick.volumes[0].mountPoint, "E:");
    EXPECT_EQ(stick.volumes[0].label, "DATA");
    EXPECT_EQ(stick.volumes[0].fsType, "FAT32");
    EXPECT_EQ(stick.volumes[0].fsUuid, "1234-ABCD");
    EXPECT_EQ(stick.volumes[0].name, "Harddisk1Partition1");
    EXPECT_EQ(stick.volumes[0].devicePath, "\\\\?\\Volume{00000001-0000-0000-0000-000000000000}");
    EXPECT_EQ(stick.volumes[1].mountPoint, "F:");
    EXPECT_EQ(stick.volumes[1].label, "BACKUP");
    // A volume without a letter or a file system Windows reads is still the disk's.
    EXPECT_EQ(stick.volumes[2].mountPoint, "");
    EXPECT_EQ(stick.volumes[2].name, "Harddisk1Partition3");
    EXPECT_EQ(stick.volumes[2].fsType, "");

    const DiskInfo& reader = (*disks)[1];
    EXPECT_EQ(reader.product, "SD/MMC Reader");
    EXPECT_EQ(reader.mediumType, MediumType::MemoryCard);
    EXPECT_FALSE(reader.hasMedium);
    EXPECT_EQ(reader.sizeBytes, 0u);
    EXPECT_TRUE(reader.volumes.empty());
    EXPECT_EQ(reader.serial, "000000001536"); // the descriptor had none: the device's own

    const DiskInfo& ssd = (*disks)[2];
    EXPECT_EQ(ssd.mediumType, MediumType::Disk);
    EXPECT_EQ(ssd.serial, ""); // the number Windows made up is no serial
}

// Without the whole list of disks, or of volumes, no disk is known not to be the system's.
TEST_F(DiskList, ABrokenListIsUnknownNotEmpty) {
    const std::vector<std::pair<const char*, std::function<void(fakedisks::Windows&)>>> cases = {
        {"no device information set", [](auto& w) { w.classDevsError = ERROR_ACCESS_DENIED; }},
        {"interfaces break off", [](auto& w) { w.interfacesBreakAfter = 2; }},
        {"volumes break off", [](auto& w) { w.volumesError = ERROR_GEN_FAILURE; }},
        {"system volume unknown", [](auto& w) { w.systemVolume.clear(); }},
    };
    for (const auto& [name, breakIt] : cases) {
        SCOPED_TRACE(name);
        fakedisks::Windows broken;
        broken.disks = windows.disks;
        broken.volumes = windows.volumes;
        broken.systemVolume = windows.systemVolume;
        breakIt(broken);
        EXPECT_FALSE(SetupDiskEnumerator(broken.calls()).enumerate());
        EXPECT_EQ(broken.openHandles(), 0u);
    }
}

TEST_F(DiskList, AFailingRequestLeavesItsReasonAndWhatCanStillBeShown) {
    struct Case {
        DWORD fakedisks::Disk::*error;
        DWORD code;
        bool listed;
        QString reason;
    };
    const std::vector<Case> cases = {
        {&fakedisks::Disk::lengthError, ERROR_IO_DEVICE, true, "does not tell its size: "},
        {&fakedisks::Disk::descriptorError, ERROR_GEN_FAILURE, true, "does not describe itself: "},
        {&fakedisks::Disk::numberError, ERROR_INVALID_FUNCTION, false, "tells no disk number: "},
        {&fakedisks::Disk::openError, ERROR_ACCESS_DENIED, false, "does not open: "},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.reason.toStdString());
        reset();
        windows.disks[1].*c.error = c.code;
        const auto candidates = enumerator.candidates(false);
        ASSERT_TRUE(candidates);
        const QString failure = (*candidates)[1].failure;
        EXPECT_TRUE(failure.contains(c.reason)) << failure.toStdString();
        EXPECT_TRUE(failure.endsWith(QStringLiteral("(%1)").arg(c.code))) << failure.toStdString();
        const auto disks = enumerator.enumerate();
        ASSERT_TRUE(disks);
        ASSERT_FALSE(disks->empty());
        const DiskInfo& first = disks->front();
        EXPECT_EQ(first.identity.devt == 1, c.listed);
        // A stick whose size is unknown is shown without one, never with another disk's.
        if (c.listed) {
            EXPECT_EQ(first.hasMedium, c.error != &fakedisks::Disk::lengthError);
        }
    }
}

TEST_F(DiskList, AStickWindowsRunsFromIsNeverListedAndAProtectedOneIsReadOnly) {
    windows.systemVolume = windows.volumes[1].name; // E: on the stick
    windows.disks[3].writeProtected = true;
    const auto disks = enumerator.enumerate();
    ASSERT_TRUE(disks);
    ASSERT_EQ(disks->size(), 2u);
    EXPECT_EQ((*disks)[0].identity.devt, 2u);
    EXPECT_FALSE((*disks)[0].readOnly); // no medium: nothing to protect
    EXPECT_TRUE((*disks)[1].readOnly);
}

TEST_F(DiskList, APathNamingNoListedDiskIsExplained) {
    struct Case {
        QString path;
        bool simulated;
        UnlistedReason reason;
        QString detail;
    };
    const std::vector<Case> cases = {
        {"\\\\.\\PhysicalDrive1", false, UnlistedReason::Listable, ""},
        {"physicaldrive3", false, UnlistedReason::Listable, ""},
        {"\\\\.\\PhysicalDrive0", false, UnlistedReason::NotRemovable, ""},
        {"\\\\.\\PhysicalDrive9", false, UnlistedReason::NotFound, ""},
        {"E:", false, UnlistedReason::Partition, "\\\\.\\PhysicalDrive1"},
        {"\\\\.\\F:\\", false, UnlistedReason::Partition, "\\\\.\\PhysicalDrive1"},
        {"Q:", false, UnlistedReason::NotFound, ""},
        {"\\\\.\\PhysicalDrive1", true, UnlistedReason::NotSimulated, "C:\\sticks"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path.toStdString());
        const auto why = explainUnlisted(windows.calls(), c.path, c.simulated, "C:\\sticks");
        EXPECT_EQ(why.reason, c.reason);
        EXPECT_EQ(why.detail, c.detail);
    }
    windows.systemVolume = windows.volumes[1].name;
    EXPECT_EQ(explainUnlisted(windows.calls(), "\\\\.\\PhysicalDrive1", false, "").reason,
              UnlistedReason::SystemDisk);
    EXPECT_EQ(windows.openHandles(), 0u);
}

} // namespace
