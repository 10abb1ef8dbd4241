// Disks and volumes as Windows describes them to a program (SetupAPI, the storage and volume
// requests), played through the disk list's call table: Wine has no disks in SetupAPI and
// answers none of these requests for its drives.
#pragma once

#include "platform/windows/DiskCalls.h"

#include <map>
#include <string>
#include <vector>

namespace fakedisks {

struct Disk {
    std::wstring interfacePath; // \\?\usbstor#disk&ven_...#{53f56307-...}
    std::wstring instanceId;    // USBSTOR\DISK&VEN_...\serial&0
    DWORD removalPolicy = 3;    // CM_REMOVAL_POLICY_EXPECT_SURPRISE_REMOVAL
    DWORD number = 0;
    std::string vendor, product, serial; // as the descriptor stores them, padding and all
    STORAGE_BUS_TYPE bus = BusTypeUsb;
    bool removableMedia = true;
    LONGLONG size = 0; // 0: no medium (a card reader without a card)
    bool writeProtected = false;
    DWORD openError = 0, numberError = 0, descriptorError = 0, lengthError = 0;
};

struct Volume {
    std::wstring name;               // \\?\Volume{...}\ as FindFirstVolumeW gives it
    std::vector<std::wstring> paths; // L"E:\\", or a folder it is mounted on
    std::vector<DWORD> disks;
    DWORD partition = 1;
    std::wstring label, fileSystem = L"FAT32";
    DWORD serial = 0x1234ABCD;
};

class Windows {
public:
    Windows();
    ~Windows();
    Windows(const Windows&) = delete;
    Windows& operator=(const Windows&) = delete;

    Disk& addDisk(DWORD number, const std::string& vendor, const std::string& product);
    Volume& addVolume(const std::wstring& letterPath, std::vector<DWORD> disks);
    const kestrune::platform::windows_impl::DiskCalls& calls() const;

    std::wstring systemVolume;        // the volume C:\Windows lies on
    DWORD classDevsError = 0;         // SetupDiGetClassDevsW fails with it
    DWORD interfacesBreakAfter = ~0u; // the interface list breaks off there
    DWORD volumesError = 0;           // FindNextVolumeW fails with it
    std::vector<Disk> disks;
    std::vector<Volume> volumes;

    static Windows& current();
    struct Open {
        const Disk* disk = nullptr;
        const Volume* volume = nullptr;
    };
    std::map<HANDLE, Open> handles;
    DWORD lastError = 0;
    size_t openHandles() const { return handles.size(); }
};

} // namespace fakedisks
