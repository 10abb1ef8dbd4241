// Which volumes lie on a Windows disk, whether the disk says it is removable, and the locks
// that keep every other user off those volumes while the disk is written: one logic for the
// engine's disk access and the program's format, each through its own call table.
#pragma once

#include "base/Win32Handle.h"

#include <winioctl.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cwctype>
#include <string>
#include <thread>
#include <vector>

namespace kestrune::win32 {

constexpr DWORD kShareReadWrite = FILE_SHARE_READ | FILE_SHARE_WRITE;

// "\\?\Volume{...}\" as FindFirstVolumeW names it opens as a device without the last "\".
inline std::wstring volumeDevicePath(std::wstring name) {
    if (!name.empty() && name.back() == L'\\')
        name.pop_back();
    return name;
}

inline bool sameVolumeName(const std::wstring& a, const std::wstring& b) {
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(),
                      [](wchar_t x, wchar_t y) { return std::towlower(x) == std::towlower(y); });
}

// False too where the disk cannot say: what cannot be shown removable is not written.
template <typename Calls> bool isRemovableDisk(const Calls& calls, HANDLE disk) {
    STORAGE_PROPERTY_QUERY query{};
    query.PropertyId = StorageDeviceProperty;
    query.QueryType = PropertyStandardQuery;
    alignas(STORAGE_DEVICE_DESCRIPTOR) uint8_t buffer[1024] = {};
    if (control(calls, disk, IOCTL_STORAGE_QUERY_PROPERTY, buffer, sizeof buffer, &query,
                sizeof query) != 0)
        return false;
    const auto* descriptor = reinterpret_cast<const STORAGE_DEVICE_DESCRIPTOR*>(buffer);
    return descriptor->RemovableMedia || descriptor->BusType == BusTypeUsb ||
           descriptor->BusType == BusTypeSd || descriptor->BusType == BusTypeMmc;
}

// Whether any part of the volume lies on the disk of that number. A volume that does not
// say (a CD, a network share) lies on no disk.
template <typename Calls>
bool volumeOnDisk(const Calls& calls, const std::wstring& volumeName, uint32_t diskNumber) {
    Handle<Calls> volume(calls,
                         calls.createFile(volumeDevicePath(volumeName).c_str(), 0, kShareReadWrite,
                                          nullptr, OPEN_EXISTING, 0, nullptr));
    if (!volume.valid())
        return false;
    constexpr size_t kExtents = 64; // a volume spread over 64 disks
    std::vector<uint8_t> buffer(sizeof(VOLUME_DISK_EXTENTS) + kExtents * sizeof(DISK_EXTENT));
    if (control(calls, volume.get(), IOCTL_VOLUME_GET_VOLUME_DISK_EXTENTS, buffer.data(),
                static_cast<DWORD>(buffer.size())) != 0)
        return false;
    const auto* extents = reinterpret_cast<const VOLUME_DISK_EXTENTS*>(buffer.data());
    const DWORD count = std::min<DWORD>(extents->NumberOfDiskExtents, kExtents);
    for (DWORD i = 0; i < count; ++i)
        if (extents->Extents[i].DiskNumber == diskNumber)
            return true;
    return false;
}

enum class VolumeListing {
    Listed,
    SystemUnknown, // without knowing where the system lives, no disk is safe to write
    ListFailed,    // the list broke off: some volume may be missing
    SystemDisk,    // the running system lives on the disk
};

// The volumes on the disk; `error` holds the Win32 error of a failed listing.
template <typename Calls>
VolumeListing volumesOnDisk(const Calls& calls, uint32_t diskNumber,
                            std::vector<std::wstring>& volumes, DWORD& error) {
    wchar_t folder[MAX_PATH], mountPoint[MAX_PATH], system[MAX_PATH], name[MAX_PATH];
    const UINT length = calls.getSystemWindowsDirectory(folder, MAX_PATH);
    if (length == 0 || length >= MAX_PATH ||
        !calls.getVolumePathName(folder, mountPoint, MAX_PATH) ||
        !calls.getVolumeNameForVolumeMountPoint(mountPoint, system, MAX_PATH)) {
        error = calls.getLastError();
        return VolumeListing::SystemUnknown;
    }
    HANDLE find = calls.findFirstVolume(name, MAX_PATH);
    if (find == INVALID_HANDLE_VALUE) {
        error = calls.getLastError();
        return VolumeListing::ListFailed;
    }
    VolumeListing outcome = VolumeListing::Listed;
    do {
        if (!volumeOnDisk(calls, name, diskNumber))
            continue;
        if (sameVolumeName(name, system)) {
            outcome = VolumeListing::SystemDisk;
            break;
        }
        volumes.emplace_back(name);
    } while (calls.findNextVolume(find, name, MAX_PATH));
    if (outcome == VolumeListing::Listed && (error = calls.getLastError()) != ERROR_NO_MORE_FILES)
        outcome = VolumeListing::ListFailed;
    calls.findVolumeClose(find);
    return outcome;
}

enum class VolumeLocking { Locked, OpenFailed, InUse, DismountFailed };

// Locks each volume against every other user and dismounts its file system; the handles in
// `locked` hold the locks until they are closed, also after a failure. A volume with files
// open refuses the lock until they close, for at most `wait`. `error` holds the Win32 error.
template <typename Calls>
VolumeLocking lockAndDismount(const Calls& calls, const std::vector<std::wstring>& volumes,
                              std::chrono::milliseconds wait, std::vector<HANDLE>& locked,
                              DWORD& error) {
    const auto deadline = std::chrono::steady_clock::now() + wait;
    for (const std::wstring& name : volumes) {
        Handle<Calls> volume(calls, calls.createFile(volumeDevicePath(name).c_str(),
                                                     GENERIC_READ | GENERIC_WRITE, kShareReadWrite,
                                                     nullptr, OPEN_EXISTING, 0, nullptr));
        if (!volume.valid()) {
            error = calls.getLastError();
            if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND)
                continue; // gone since it was listed
            return VolumeLocking::OpenFailed;
        }
        while ((error = control(calls, volume.get(), FSCTL_LOCK_VOLUME)) == ERROR_ACCESS_DENIED &&
               std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        if (error != 0)
            return VolumeLocking::InUse;
        if ((error = control(calls, volume.get(), FSCTL_DISMOUNT_VOLUME)) != 0)
            return VolumeLocking::DismountFailed;
        locked.push_back(volume.release());
    }
    error = 0;
    return VolumeLocking::Locked;
}

} // namespace kestrune::win32
