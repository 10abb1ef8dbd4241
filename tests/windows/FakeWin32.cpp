#include "FakeWin32.h"

#include <algorithm>
#include <cstring>
#include <memory>

namespace fakewin32 {

namespace {

Windows* active = nullptr;
thread_local DWORD lastError = 0;

BOOL fail(DWORD error) {
    lastError = error;
    return FALSE;
}

template <typename T> BOOL answer(const T& value, void* out, DWORD outSize, DWORD* returned) {
    if (outSize < sizeof(T))
        return fail(ERROR_INSUFFICIENT_BUFFER);
    std::memcpy(out, &value, sizeof(T));
    *returned = sizeof(T);
    return TRUE;
}

bool mountedVolumeOn(const Windows& windows, const Disk& disk) {
    return std::any_of(windows.volumes.begin(), windows.volumes.end(), [&](const auto& volume) {
        return std::count(volume->disks.begin(), volume->disks.end(), disk.number) != 0 &&
               !(volume->locked && volume->dismounted);
    });
}

// Once written past these marks, the medium changes under the job.
void afterWrite(Disk& disk) {
    if (disk.written >= disk.pullAfter)
        disk.pulled = true;
    if (disk.written >= disk.protectAfter)
        disk.writeProtected = true;
}

HANDLE WINAPI createFile(LPCWSTR path, DWORD access, DWORD, LPSECURITY_ATTRIBUTES, DWORD,
                         DWORD flags, HANDLE) {
    Windows& windows = Windows::current();
    if (Disk* disk = windows.diskAt(path)) {
        if (disk->pulled || disk->openError) {
            lastError = disk->pulled ? ERROR_FILE_NOT_FOUND : disk->openError;
            return INVALID_HANDLE_VALUE;
        }
        disk->openFlags = flags;
        return windows.add({disk, nullptr, access});
    }
    if (Volume* volume = windows.volumeAt(path)) {
        if (volume->openError && (access & GENERIC_WRITE)) {
            lastError = volume->openError;
            return INVALID_HANDLE_VALUE;
        }
        return windows.add({nullptr, volume, access});
    }
    lastError = ERROR_FILE_NOT_FOUND;
    return INVALID_HANDLE_VALUE;
}

BOOL WINAPI closeHandle(HANDLE handle) {
    Windows& windows = Windows::current();
    Windows::Open* open = windows.find(handle);
    if (!open)
        return fail(ERROR_INVALID_HANDLE);
    if (open->volume && open->volume->locked && (open->access & GENERIC_WRITE))
        open->volume->locked = false; // the lock goes with its handle
    windows.close(handle);
    return TRUE;
}

// A new partition table: its style when it is created, then the layout as it was handed over.
BOOL layoutControl(Disk& disk, DWORD code, const void* in, DWORD inSize) {
    if (code == IOCTL_DISK_CREATE_DISK) {
        if (inSize < sizeof(CREATE_DISK))
            return fail(ERROR_INVALID_PARAMETER);
        disk.createdStyle = static_cast<const CREATE_DISK*>(in)->PartitionStyle;
        disk.createdSignature = static_cast<const CREATE_DISK*>(in)->Mbr.Signature;
        return TRUE;
    }
    if (disk.layoutError)
        return fail(disk.layoutError);
    if (inSize < sizeof(DRIVE_LAYOUT_INFORMATION_EX) || disk.createdStyle == PARTITION_STYLE_RAW)
        return fail(ERROR_INVALID_PARAMETER);
    const auto* bytes = static_cast<const uint8_t*>(in);
    disk.layout.assign(bytes, bytes + inSize);
    return TRUE;
}

BOOL diskControl(Disk& disk, DWORD code, const void* in, DWORD inSize, LPVOID out, DWORD outSize,
                 LPDWORD returned) {
    if (disk.pulled)
        return fail(ERROR_DEVICE_NOT_CONNECTED);
    switch (code) {
    case IOCTL_STORAGE_QUERY_PROPERTY: {
        STORAGE_DEVICE_DESCRIPTOR descriptor{};
        descriptor.Size = sizeof descriptor;
        descriptor.RemovableMedia = disk.removableMedia;
        descriptor.BusType = disk.bus;
        return answer(descriptor, out, outSize, returned);
    }
    case IOCTL_DISK_IS_WRITABLE:
        return disk.writeProtected ? fail(ERROR_WRITE_PROTECT) : TRUE;
    case IOCTL_DISK_GET_DRIVE_GEOMETRY_EX: {
        DISK_GEOMETRY_EX geometry{};
        geometry.Geometry.BytesPerSector = disk.sector;
        geometry.Geometry.MediaType = RemovableMedia;
        geometry.DiskSize.QuadPart = static_cast<LONGLONG>(disk.bytes.size());
        return answer(geometry, out, outSize, returned);
    }
    case IOCTL_DISK_GET_LENGTH_INFO: {
        if (disk.lengthError)
            return fail(disk.lengthError);
        if (!disk.tellsLength)
            return fail(ERROR_NOT_SUPPORTED);
        GET_LENGTH_INFORMATION length{};
        length.Length.QuadPart = static_cast<LONGLONG>(disk.bytes.size());
        return answer(length, out, outSize, returned);
    }
    case IOCTL_DISK_UPDATE_PROPERTIES:
        ++disk.propertyUpdates;
        return TRUE;
    case IOCTL_DISK_CREATE_DISK:
    case IOCTL_DISK_SET_DRIVE_LAYOUT_EX:
        return layoutControl(disk, code, in, inSize);
    default:
        return fail(ERROR_INVALID_FUNCTION);
    }
}

BOOL volumeControl(Volume& volume, DWORD access, DWORD code, LPVOID out, DWORD outSize,
                   LPDWORD returned) {
    switch (code) {
    case IOCTL_VOLUME_GET_VOLUME_DISK_EXTENTS: {
        if (!volume.tellsExtents)
            return fail(ERROR_INVALID_FUNCTION);
        const size_t bytes =
            sizeof(VOLUME_DISK_EXTENTS) + volume.disks.size() * sizeof(DISK_EXTENT);
        if (outSize < bytes)
            return fail(ERROR_MORE_DATA);
        auto* extents = static_cast<VOLUME_DISK_EXTENTS*>(out);
        extents->NumberOfDiskExtents = static_cast<DWORD>(volume.disks.size());
        for (size_t i = 0; i < volume.disks.size(); ++i)
            extents->Extents[i] = DISK_EXTENT{volume.disks[i], {}, {}};
        *returned = static_cast<DWORD>(bytes);
        return TRUE;
    }
    case IOCTL_STORAGE_GET_DEVICE_NUMBER: {
        STORAGE_DEVICE_NUMBER number{};
        number.DeviceType = FILE_DEVICE_DISK;
        number.DeviceNumber = volume.disks.front();
        return answer(number, out, outSize, returned);
    }
    case FSCTL_LOCK_VOLUME:
        if (!(access & GENERIC_WRITE) || volume.locked)
            return fail(ERROR_ACCESS_DENIED);
        if (volume.lockRefusals != 0) {
            if (volume.lockRefusals > 0)
                --volume.lockRefusals;
            return fail(ERROR_ACCESS_DENIED); // files are open on it
        }
        volume.locked = true;
        ++volume.timesLocked;
        return TRUE;
    case FSCTL_DISMOUNT_VOLUME:
        if (!(access & GENERIC_WRITE) || volume.dismountFails)
            return fail(ERROR_ACCESS_DENIED);
        volume.dismounted = true;
        return TRUE;
    default:
        return fail(ERROR_INVALID_FUNCTION);
    }
}

BOOL WINAPI deviceIoControl(HANDLE handle, DWORD code, LPVOID in, DWORD inSize, LPVOID out,
                            DWORD outSize, LPDWORD returned, LPOVERLAPPED) {
    Windows& windows = Windows::current();
    Windows::Open* open = windows.find(handle);
    if (!open)
        return fail(ERROR_INVALID_HANDLE);
    *returned = 0;
    windows.controls.push_back(open->disk ? Control{0, open->disk->number, code}
                                          : Control{open->volume->letter, 0, code});
    return open->disk ? diskControl(*open->disk, code, in, inSize, out, outSize, returned)
                      : volumeControl(*open->volume, open->access, code, out, outSize, returned);
}

BOOL transfer(HANDLE handle, bool write, void* data, DWORD length, LPDWORD done, LPOVERLAPPED at) {
    Windows& windows = Windows::current();
    Windows::Open* open = windows.find(handle);
    if (!open || !open->disk || !at)
        return fail(ERROR_INVALID_HANDLE);
    Disk& disk = *open->disk;
    *done = 0;
    const uint64_t offset = at->Offset | (uint64_t{at->OffsetHigh} << 32);
    if (disk.pulled)
        return fail(ERROR_DEVICE_NOT_CONNECTED);
    if (offset % disk.sector || length % disk.sector ||
        reinterpret_cast<uintptr_t>(data) % disk.sector)
        return fail(ERROR_INVALID_PARAMETER);
    if (offset >= disk.bytes.size())
        return fail(disk.tellsLength ? ERROR_SECTOR_NOT_FOUND : ERROR_HANDLE_EOF);
    const size_t count = std::min<uint64_t>(length, disk.bytes.size() - offset);
    if (!write) {
        std::memcpy(data, disk.bytes.data() + offset, count);
        *done = static_cast<DWORD>(count);
        return TRUE;
    }
    if (disk.writeProtected)
        return fail(ERROR_WRITE_PROTECT);
    if (mountedVolumeOn(windows, disk)) {
        disk.writtenWhileMounted = true;
        return fail(ERROR_ACCESS_DENIED);
    }
    if (disk.written >= disk.failAfter)
        return fail(disk.writeError);
    std::memcpy(disk.bytes.data() + offset, data, count);
    disk.written += count;
    afterWrite(disk);
    *done = static_cast<DWORD>(count);
    return TRUE;
}

BOOL WINAPI readFile(HANDLE handle, LPVOID data, DWORD length, LPDWORD done, LPOVERLAPPED at) {
    return transfer(handle, false, data, length, done, at);
}

BOOL WINAPI writeFile(HANDLE handle, LPCVOID data, DWORD length, LPDWORD done, LPOVERLAPPED at) {
    return transfer(handle, true, const_cast<void*>(data), length, done, at);
}

BOOL WINAPI flushFileBuffers(HANDLE handle) {
    Windows::Open* open = Windows::current().find(handle);
    if (!open)
        return fail(ERROR_INVALID_HANDLE);
    return open->disk && open->disk->pulled ? fail(ERROR_DEVICE_NOT_CONNECTED) : TRUE;
}

BOOL nextVolume(Windows::Open& search, LPWSTR name, DWORD size) {
    const auto& volumes = Windows::current().volumes;
    if (search.nextVolume >= volumes.size())
        return fail(ERROR_NO_MORE_FILES);
    const std::wstring& found = volumes[search.nextVolume++]->name;
    if (found.size() >= size)
        return fail(ERROR_FILENAME_EXCED_RANGE);
    std::copy(found.c_str(), found.c_str() + found.size() + 1, name);
    return TRUE;
}

HANDLE WINAPI findFirstVolume(LPWSTR name, DWORD size) {
    Windows& windows = Windows::current();
    HANDLE search = windows.add({});
    if (!nextVolume(*windows.find(search), name, size)) {
        windows.close(search);
        return INVALID_HANDLE_VALUE;
    }
    return search;
}

BOOL WINAPI findNextVolume(HANDLE search, LPWSTR name, DWORD size) {
    Windows::Open* open = Windows::current().find(search);
    return open ? nextVolume(*open, name, size) : fail(ERROR_INVALID_HANDLE);
}

BOOL WINAPI findVolumeClose(HANDLE search) {
    Windows& windows = Windows::current();
    if (!windows.find(search))
        return fail(ERROR_INVALID_HANDLE);
    windows.close(search);
    return TRUE;
}

UINT WINAPI getSystemWindowsDirectory(LPWSTR folder, UINT size) {
    const std::wstring windowsFolder = L"C:\\Windows";
    if (size <= windowsFolder.size())
        return static_cast<UINT>(windowsFolder.size() + 1);
    std::copy(windowsFolder.c_str(), windowsFolder.c_str() + windowsFolder.size() + 1, folder);
    return static_cast<UINT>(windowsFolder.size());
}

BOOL WINAPI getVolumePathName(LPCWSTR path, LPWSTR mountPoint, DWORD size) {
    if (!Windows::current().systemVolumeKnown || size < 4)
        return fail(ERROR_ACCESS_DENIED);
    const wchar_t root[] = {path[0], L':', L'\\', L'\0'};
    std::copy(root, root + 4, mountPoint);
    return TRUE;
}

BOOL WINAPI getVolumeNameForVolumeMountPoint(LPCWSTR mountPoint, LPWSTR name, DWORD size) {
    for (const auto& volume : Windows::current().volumes) {
        if (volume->letter == mountPoint[0] && volume->name.size() < size) {
            std::copy(volume->name.c_str(), volume->name.c_str() + volume->name.size() + 1, name);
            return TRUE;
        }
    }
    return fail(ERROR_FILE_NOT_FOUND);
}

DWORD WINAPI getLastError() {
    return lastError;
}

const Functions fakeFunctions{
    &createFile,        &closeHandle,
    &deviceIoControl,   &readFile,
    &writeFile,         &flushFileBuffers,
    &findFirstVolume,   &findNextVolume,
    &findVolumeClose,   &getSystemWindowsDirectory,
    &getVolumePathName, &getVolumeNameForVolumeMountPoint,
    &getLastError,
};

} // namespace

Windows::Windows() {
    active = this;
}

Windows::~Windows() {
    active = nullptr;
}

Windows& Windows::current() {
    return *active;
}

const Functions& functions() {
    return fakeFunctions;
}

Disk& Windows::addDisk(uint32_t number, size_t size, uint8_t fill) {
    Disk& disk = disks[number];
    disk = Disk{};
    disk.number = number;
    disk.bytes.assign(size, fill);
    return disk;
}

Volume& Windows::addVolume(wchar_t letter, std::vector<uint32_t> onDisks) {
    auto volume = std::make_unique<Volume>();
    wchar_t name[64];
    swprintf(name, 64, L"\\\\?\\Volume{0000%04x-0000-0000-0000-000000000000}\\",
             static_cast<unsigned>(volumes.size() + 1));
    volume->name = name;
    volume->letter = letter;
    volume->disks = std::move(onDisks);
    volumes.push_back(std::move(volume));
    return *volumes.back();
}

Windows::Open* Windows::find(HANDLE handle) {
    auto found = handles_.find(reinterpret_cast<uintptr_t>(handle));
    return found == handles_.end() ? nullptr : &found->second;
}

HANDLE Windows::add(Open open) {
    const uintptr_t value = next_++;
    handles_[value] = open;
    return reinterpret_cast<HANDLE>(value);
}

void Windows::close(HANDLE handle) {
    handles_.erase(reinterpret_cast<uintptr_t>(handle));
}

Disk* Windows::diskAt(const std::wstring& path) {
    for (auto& [number, disk] : disks)
        if (path == L"\\\\.\\PhysicalDrive" + std::to_wstring(number))
            return &disk;
    return nullptr;
}

Volume* Windows::volumeAt(const std::wstring& path) {
    for (auto& volume : volumes) {
        const wchar_t letterPath[] = {L'\\', L'\\', L'.', L'\\', volume->letter, L':', L'\0'};
        if (path == volume->name.substr(0, volume->name.size() - 1) ||
            (volume->letter && path == letterPath))
            return volume.get();
    }
    return nullptr;
}

} // namespace fakewin32
