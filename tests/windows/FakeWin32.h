// Disks and volumes as Windows shows them to a program, played through the Win32 calls the
// disk access takes: what Wine cannot show (a physical drive's length, volumes on a disk,
// their locks, write protection, a stick pulled). Writes keep to Windows' rules for raw
// disks: whole sectors from aligned memory, and none while a volume of the disk is mounted.
#pragma once

#include <windows.h>
#include <winioctl.h>

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace fakewin32 {

struct Disk {
    uint32_t number = 0;
    std::vector<uint8_t> bytes;
    DWORD sector = 512;
    BOOLEAN removableMedia = TRUE;
    STORAGE_BUS_TYPE bus = BusTypeUsb;
    bool tellsLength = true; // else, as on Wine, reads past the end fail ERROR_HANDLE_EOF
    DWORD lengthError = 0;
    DWORD openError = 0;
    bool writeProtected = false;
    bool pulled = false;
    // What happens once this many bytes were written: the stick is pulled, its switch set,
    // or writes fail with writeError.
    uint64_t pullAfter = UINT64_MAX;
    uint64_t protectAfter = UINT64_MAX;
    uint64_t failAfter = UINT64_MAX;
    DWORD writeError = ERROR_CRC;
    DWORD layoutError = 0; // IOCTL_DISK_SET_DRIVE_LAYOUT_EX fails with it

    // What the fake saw.
    DWORD openFlags = 0;
    uint64_t written = 0;
    bool writtenWhileMounted = false;
    int propertyUpdates = 0;
    PARTITION_STYLE createdStyle = PARTITION_STYLE_RAW; // by IOCTL_DISK_CREATE_DISK
    DWORD createdSignature = 0;
    std::vector<uint8_t> layout; // what IOCTL_DISK_SET_DRIVE_LAYOUT_EX was handed
};

struct Volume {
    std::wstring name; // \\?\Volume{...}\ as FindFirstVolumeW gives it
    wchar_t letter = 0;
    std::vector<uint32_t> disks;
    bool tellsExtents = true;
    DWORD openError = 0;  // when opened for writing
    int lockRefusals = 0; // ERROR_ACCESS_DENIED this often before it locks; -1 always
    bool dismountFails = false;

    bool locked = false;
    bool dismounted = false;
    int timesLocked = 0;
};

// The fake's calls, in the order of the tables that take them (the shred engine's, the
// format's): a table of either kind is made of them.
struct Functions {
    decltype(&::CreateFileW) createFile;
    decltype(&::CloseHandle) closeHandle;
    decltype(&::DeviceIoControl) deviceIoControl;
    decltype(&::ReadFile) readFile;
    decltype(&::WriteFile) writeFile;
    decltype(&::FlushFileBuffers) flushFileBuffers;
    decltype(&::FindFirstVolumeW) findFirstVolume;
    decltype(&::FindNextVolumeW) findNextVolume;
    decltype(&::FindVolumeClose) findVolumeClose;
    decltype(&::GetSystemWindowsDirectoryW) getSystemWindowsDirectory;
    decltype(&::GetVolumePathNameW) getVolumePathName;
    decltype(&::GetVolumeNameForVolumeMountPointW) getVolumeNameForVolumeMountPoint;
    decltype(&::GetLastError) getLastError;
};
const Functions& functions();

// One DeviceIoControl as the fake saw it: on a volume (its letter) or a disk (its number).
struct Control {
    wchar_t volume = 0;
    uint32_t disk = 0;
    DWORD code = 0;
};

class Windows {
public:
    Windows();
    ~Windows();
    Windows(const Windows&) = delete;
    Windows& operator=(const Windows&) = delete;

    Disk& addDisk(uint32_t number, size_t size, uint8_t fill);
    Volume& addVolume(wchar_t letter, std::vector<uint32_t> disks);
    template <typename Table> const Table& calls() const {
        static const Functions& f = functions();
        static const Table table{f.createFile,        f.closeHandle,
                                 f.deviceIoControl,   f.readFile,
                                 f.writeFile,         f.flushFileBuffers,
                                 f.findFirstVolume,   f.findNextVolume,
                                 f.findVolumeClose,   f.getSystemWindowsDirectory,
                                 f.getVolumePathName, f.getVolumeNameForVolumeMountPoint,
                                 f.getLastError};
        return table;
    }

    size_t openHandles() const { return handles_.size(); }
    bool systemVolumeKnown = true;

    // For the calls, which are plain functions.
    static Windows& current();
    struct Open {
        Disk* disk = nullptr;
        Volume* volume = nullptr;
        DWORD access = 0;
        size_t nextVolume = 0; // of a volume search
    };
    Open* find(HANDLE handle);
    HANDLE add(Open open);
    void close(HANDLE handle);
    Disk* diskAt(const std::wstring& path);
    Volume* volumeAt(const std::wstring& path);
    std::map<uint32_t, Disk> disks;
    std::vector<std::unique_ptr<Volume>> volumes;
    std::vector<Control> controls; // every DeviceIoControl, in order

private:
    std::map<uintptr_t, Open> handles_;
    uintptr_t next_ = 0x1000;
};

} // namespace fakewin32
