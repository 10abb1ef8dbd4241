// The Win32 calls through which the disk list, the simulated disks and the device monitor
// read the system. The program takes the system's own (systemDiskCalls()); tests hand in
// others that answer as Windows documents it, for what Wine cannot show (disks in SetupAPI,
// their sizes, buses and volume extents).
#pragma once

#include <windows.h>

#include "base/Win32Handle.h"

#include <setupapi.h>
#include <winioctl.h>

#include <QString>
#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

namespace kestrune::platform::windows_impl {

struct DiskCalls {
    decltype(&::SetupDiGetClassDevsW) getClassDevs;
    decltype(&::SetupDiEnumDeviceInterfaces) enumDeviceInterfaces;
    decltype(&::SetupDiGetDeviceInterfaceDetailW) getDeviceInterfaceDetail;
    decltype(&::SetupDiGetDeviceRegistryPropertyW) getDeviceRegistryProperty;
    decltype(&::SetupDiGetDeviceInstanceIdW) getDeviceInstanceId;
    decltype(&::SetupDiDestroyDeviceInfoList) destroyDeviceInfoList;
    decltype(&::CreateFileW) createFile;
    decltype(&::DeviceIoControl) deviceIoControl;
    decltype(&::CloseHandle) closeHandle;
    decltype(&::FindFirstVolumeW) findFirstVolume;
    decltype(&::FindNextVolumeW) findNextVolume;
    decltype(&::FindVolumeClose) findVolumeClose;
    decltype(&::GetVolumePathNamesForVolumeNameW) getVolumePathNames;
    decltype(&::GetVolumeInformationW) getVolumeInformation;
    decltype(&::GetSystemWindowsDirectoryW) getSystemWindowsDirectory;
    decltype(&::GetVolumePathNameW) getVolumePathName;
    decltype(&::GetVolumeNameForVolumeMountPointW) getVolumeNameForVolumeMountPoint;
    decltype(&::FindFirstFileW) findFirstFile;
    decltype(&::FindNextFileW) findNextFile;
    decltype(&::FindClose) findClose;
    decltype(&::GetFileInformationByHandle) getFileInformationByHandle;
    decltype(&::GetFinalPathNameByHandleW) getFinalPathNameByHandle;
    decltype(&::ReadFile) readFile;
    decltype(&::GetLastError) getLastError;
};
const DiskCalls& systemDiskCalls();

// {53F56307-B6BF-11D0-94F2-00A0C91EFB8B} and {53F5630D-...}: disks and volumes.
extern const GUID kDiskInterface;
extern const GUID kVolumeInterface;

inline const wchar_t* wide(const QString& text) {
    return reinterpret_cast<const wchar_t*>(text.utf16());
}

using Handle = win32::Handle<DiskCalls>;
using win32::control;

// Opens a device or volume path for queries only (no access rights: no medium is touched,
// and no administrator is needed). The error is the system's when it does not open.
HANDLE openForQuery(const DiskCalls& calls, const QString& path);

// The system's text for a Win32 error, with its number: "Access is denied. (5)".
QString win32Message(DWORD error);

// The number N of \\.\PhysicalDriveN behind a disk or volume handle.
std::optional<DWORD> deviceNumberOf(const DiskCalls& calls, HANDLE handle, DWORD* error = nullptr);

QString physicalDrivePath(DWORD number);

// A volume as FindFirstVolumeW names it ("\\?\Volume{...}\"), with the disks it lies on.
struct VolumeOnDisks {
    QString name;
    std::vector<DWORD> disks;
    DWORD partition = 0; // its partition's number on a single disk, 0 when it has none
};
// A volume by its name or device path ("\\.\E:"), with the disks it lies on.
VolumeOnDisks volumeOnDisks(const DiskCalls& calls, const QString& name);
// Every volume the system knows with the disks under it; a volume that does not say (a CD,
// a network share) lies on none. Nothing when the list broke off, with the error.
std::optional<std::vector<VolumeOnDisks>> volumesWithDisks(const DiskCalls& calls,
                                                           DWORD* error = nullptr);
// The disks under the volume the running Windows lives on; nothing when that is unknown.
std::optional<std::vector<DWORD>> systemDisks(const DiskCalls& calls,
                                              const std::vector<VolumeOnDisks>& volumes);

} // namespace kestrune::platform::windows_impl
