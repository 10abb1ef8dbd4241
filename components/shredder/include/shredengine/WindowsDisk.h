// A whole disk on Windows, written through its raw device: found from its device number,
// checked, its volumes locked and dismounted, and written unbuffered and through to the
// medium in whole sectors.
#pragma once

#include "shredengine/DiskJob.h"

#include <windows.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace kestrune::engine {

// The Win32 calls the disk access makes. The engine takes the system's own
// (systemWin32Calls()); tests hand in others to play the disks Wine cannot play.
struct Win32Calls {
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
const Win32Calls& systemWin32Calls();

// Moves the whole range through the handle at the offset, in as many calls as it takes;
// 0 or an errno value (see errnoFromWin32). The caller keeps to what the handle requires.
int win32Transfer(const Win32Calls& calls, HANDLE handle, bool write, uint8_t* data, size_t length,
                  uint64_t offset);

// The status for a Win32 error met while a disk is opened or checked.
int32_t statusFromWin32(DWORD error);

struct WindowsDiskOptions {
    // Only tests of the internal job on a drive letter of Wine turn this off; the exported
    // entry always applies the full rule.
    bool requireRemovable = true;
    // How long a volume with files open on it is asked again to lock.
    std::chrono::milliseconds lockWait{2000};
};

class WindowsDisk final : public JobDisk {
public:
    // Opens the disk at path (\\.\PhysicalDriveN for device number N) for one job. Refuses
    // a disk that is not removable (when the options ask), one that the drive letter (when
    // not 0) shows to be another than the number's, a write-protected one and one the
    // running system lives on; then locks and dismounts every volume on the disk. Returns 0
    // or a status: -4 gone, not removable or not the disk it was, -6 no permission, -9 a
    // volume that stays in use, -13 the system's disk, -15 write-protected, -16 held.
    static int32_t open(const Win32Calls& calls, const std::wstring& path, uint32_t deviceNumber,
                        uint32_t driveLetter, const WindowsDiskOptions& options,
                        std::unique_ptr<WindowsDisk>& disk);
    ~WindowsDisk() override;
    WindowsDisk(const WindowsDisk&) = delete;
    WindowsDisk& operator=(const WindowsDisk&) = delete;

    BlockDevice& device() override;
    int32_t mediumCheck() override;
    // The system reads the disk's new partition table.
    void jobEnded() override;

private:
    class Raw;
    WindowsDisk(const Win32Calls& calls, HANDLE handle, std::vector<HANDLE> volumes, uint64_t size,
                size_t sector, bool sizeByLength);

    const Win32Calls& calls_;
    HANDLE handle_;
    std::vector<HANDLE> volumes_; // locked and dismounted until the disk is closed
    std::unique_ptr<Raw> device_;
    bool sizeByLength_; // else found by reading where the disk ends
};

std::wstring physicalDrivePath(uint32_t deviceNumber);

// A whole job on the disk at path; returns the job's final status.
int32_t shredWindowsDisk(const Win32Calls& calls, const std::wstring& path, uint32_t deviceNumber,
                         uint32_t driveLetter, int32_t algorithm, ShredStatusCallback callback,
                         void* context, const unsigned char* abortFlag,
                         const WindowsDiskOptions& options = {}, const JobOptions& jobOptions = {});

} // namespace kestrune::engine
