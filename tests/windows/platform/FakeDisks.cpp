#include "FakeDisks.h"

#include <cstddef>
#include <cstring>
#include <cwctype>

namespace fakedisks {

namespace {

Windows* active = nullptr;

BOOL fail(DWORD error) {
    active->lastError = error;
    return FALSE;
}

bool copyOut(const std::wstring& text, wchar_t* buffer, DWORD length) {
    if (text.size() + 1 > length)
        return fail(ERROR_INSUFFICIENT_BUFFER);
    std::wmemcpy(buffer, text.c_str(), text.size() + 1);
    return true;
}

std::wstring lower(std::wstring text) {
    for (wchar_t& c : text)
        c = static_cast<wchar_t>(std::towlower(c));
    return text;
}

std::wstring chopSlash(std::wstring name) {
    if (!name.empty() && name.back() == L'\\')
        name.pop_back();
    return lower(name);
}

HANDLE openDevice(LPCWSTR path, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD, HANDLE) {
    const std::wstring wanted = lower(path);
    Windows::Open target;
    for (const Disk& disk : active->disks)
        if (wanted == lower(disk.interfacePath) ||
            wanted == lower(L"\\\\.\\PhysicalDrive" + std::to_wstring(disk.number))) {
            if (disk.openError)
                return fail(disk.openError), INVALID_HANDLE_VALUE;
            target.disk = &disk;
        }
    for (const Volume& volume : active->volumes) {
        bool named = wanted == chopSlash(volume.name);
        for (const std::wstring& mountPath : volume.paths)
            named = named ||
                    (mountPath.size() == 3 && wanted == lower(L"\\\\.\\" + mountPath.substr(0, 2)));
        if (named)
            target.volume = &volume;
    }
    if (!target.disk && !target.volume)
        return fail(ERROR_FILE_NOT_FOUND), INVALID_HANDLE_VALUE;
    static std::uintptr_t next = 0x10000;
    const auto handle = reinterpret_cast<HANDLE>(next += 4);
    active->handles[handle] = target;
    return handle;
}

BOOL closeDevice(HANDLE handle) {
    return active->handles.erase(handle) ? TRUE : fail(ERROR_INVALID_HANDLE);
}

// A descriptor with its strings after it, as the storage driver lays it out.
BOOL describe(const Disk& disk, void* out, DWORD size) {
    std::vector<std::uint8_t> bytes(sizeof(STORAGE_DEVICE_DESCRIPTOR));
    auto* descriptor = reinterpret_cast<STORAGE_DEVICE_DESCRIPTOR*>(bytes.data());
    descriptor->Version = sizeof(STORAGE_DEVICE_DESCRIPTOR);
    descriptor->RemovableMedia = disk.removableMedia;
    descriptor->BusType = disk.bus;
    DWORD* offsets[] = {&descriptor->VendorIdOffset, &descriptor->ProductIdOffset,
                        &descriptor->SerialNumberOffset};
    const std::string* texts[] = {&disk.vendor, &disk.product, &disk.serial};
    std::vector<std::pair<DWORD, const std::string*>> strings;
    DWORD at = static_cast<DWORD>(bytes.size());
    for (int i = 0; i < 3; ++i) {
        if (texts[i]->empty())
            continue;
        *offsets[i] = at;
        strings.emplace_back(at, texts[i]);
        at += static_cast<DWORD>(texts[i]->size() + 1);
    }
    descriptor->Size = at;
    bytes.resize(at);
    for (const auto& [offset, text] : strings)
        std::memcpy(bytes.data() + offset, text->c_str(), text->size() + 1);
    std::memcpy(out, bytes.data(), std::min<size_t>(size, bytes.size()));
    return TRUE;
}

BOOL diskRequest(const Disk& disk, DWORD code, void* out, DWORD size) {
    switch (code) {
    case IOCTL_STORAGE_GET_DEVICE_NUMBER: {
        if (disk.numberError)
            return fail(disk.numberError);
        STORAGE_DEVICE_NUMBER number{FILE_DEVICE_DISK, disk.number, 0};
        std::memcpy(out, &number, sizeof number);
        return TRUE;
    }
    case IOCTL_STORAGE_QUERY_PROPERTY:
        return disk.descriptorError ? fail(disk.descriptorError) : describe(disk, out, size);
    case IOCTL_STORAGE_CHECK_VERIFY2:
        return disk.size > 0 ? TRUE : fail(ERROR_NOT_READY);
    case IOCTL_DISK_GET_LENGTH_INFO: {
        if (disk.lengthError || disk.size == 0)
            return fail(disk.lengthError ? disk.lengthError : ERROR_NOT_READY);
        GET_LENGTH_INFORMATION length{};
        length.Length.QuadPart = disk.size;
        std::memcpy(out, &length, sizeof length);
        return TRUE;
    }
    case IOCTL_DISK_IS_WRITABLE:
        return disk.writeProtected ? fail(ERROR_WRITE_PROTECT) : TRUE;
    default:
        return fail(ERROR_INVALID_FUNCTION);
    }
}

BOOL volumeRequest(const Volume& volume, DWORD code, void* out, DWORD size) {
    if (volume.disks.empty())
        return fail(ERROR_INVALID_FUNCTION); // a CD or a share lies on no disk
    if (code == IOCTL_STORAGE_GET_DEVICE_NUMBER) {
        if (volume.disks.size() != 1)
            return fail(ERROR_INVALID_FUNCTION);
        STORAGE_DEVICE_NUMBER number{FILE_DEVICE_DISK, volume.disks[0], volume.partition};
        std::memcpy(out, &number, sizeof number);
        return TRUE;
    }
    if (code != IOCTL_VOLUME_GET_VOLUME_DISK_EXTENTS)
        return fail(ERROR_INVALID_FUNCTION);
    const size_t needed =
        offsetof(VOLUME_DISK_EXTENTS, Extents) + volume.disks.size() * sizeof(DISK_EXTENT);
    if (size < needed)
        return fail(ERROR_MORE_DATA);
    auto* extents = static_cast<VOLUME_DISK_EXTENTS*>(out);
    extents->NumberOfDiskExtents = static_cast<DWORD>(volume.disks.size());
    for (size_t i = 0; i < volume.disks.size(); ++i)
        extents->Extents[i] = DISK_EXTENT{volume.disks[i], {}, {}};
    return TRUE;
}

BOOL request(HANDLE handle, DWORD code, LPVOID, DWORD, LPVOID out, DWORD size, LPDWORD,
             LPOVERLAPPED) {
    const auto found = active->handles.find(handle);
    if (found == active->handles.end())
        return fail(ERROR_INVALID_HANDLE);
    return found->second.disk ? diskRequest(*found->second.disk, code, out, size)
                              : volumeRequest(*found->second.volume, code, out, size);
}

const Volume* volumeNamed(LPCWSTR name) {
    for (const Volume& volume : active->volumes)
        if (chopSlash(volume.name) == chopSlash(name))
            return &volume;
    return nullptr;
}

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

Disk& Windows::addDisk(DWORD number, const std::string& vendor, const std::string& product) {
    Disk disk;
    disk.number = number;
    disk.vendor = vendor;
    disk.product = product;
    disk.interfacePath = L"\\\\?\\usbstor#disk&ven_" + std::to_wstring(number) +
                         L"#{53f56307-b6bf-11d0-94f2-00a0c91efb8b}";
    disk.instanceId = L"USBSTOR\\DISK&VEN_X&PROD_Y\\SERIAL" + std::to_wstring(number) + L"&0";
    disks.push_back(disk);
    return disks.back();
}

Volume& Windows::addVolume(const std::wstring& letterPath, std::vector<DWORD> onDisks) {
    Volume volume;
    volume.name = L"\\\\?\\Volume{0000000" + std::to_wstring(volumes.size()) +
                  L"-0000-0000-0000-000000000000}\\";
    if (!letterPath.empty())
        volume.paths.push_back(letterPath);
    volume.disks = std::move(onDisks);
    volumes.push_back(volume);
    return volumes.back();
}

const kestrune::platform::windows_impl::DiskCalls& Windows::calls() const {
    static const kestrune::platform::windows_impl::DiskCalls table{
        [](const GUID*, PCWSTR, HWND, DWORD) -> HDEVINFO {
            if (active->classDevsError)
                return fail(active->classDevsError), INVALID_HANDLE_VALUE;
            return reinterpret_cast<HDEVINFO>(0x1000);
        },
        [](HDEVINFO, PSP_DEVINFO_DATA, const GUID*, DWORD index, PSP_DEVICE_INTERFACE_DATA data) {
            if (index >= active->interfacesBreakAfter)
                return fail(ERROR_GEN_FAILURE);
            if (index >= active->disks.size())
                return fail(ERROR_NO_MORE_ITEMS);
            data->Reserved = index;
            return TRUE;
        },
        [](HDEVINFO, PSP_DEVICE_INTERFACE_DATA data, PSP_DEVICE_INTERFACE_DETAIL_DATA_W detail,
           DWORD size, PDWORD required, PSP_DEVINFO_DATA device) {
            const Disk& disk = active->disks.at(data->Reserved);
            const DWORD needed =
                static_cast<DWORD>(offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath) +
                                   (disk.interfacePath.size() + 1) * sizeof(wchar_t));
            if (required)
                *required = needed;
            if (!detail || size < needed)
                return fail(ERROR_INSUFFICIENT_BUFFER);
            std::wmemcpy(detail->DevicePath, disk.interfacePath.c_str(),
                         disk.interfacePath.size() + 1);
            if (device)
                device->DevInst = static_cast<DWORD>(data->Reserved);
            return TRUE;
        },
        [](HDEVINFO, PSP_DEVINFO_DATA device, DWORD property, PDWORD, PBYTE buffer, DWORD size,
           PDWORD) {
            if (property != SPDRP_REMOVAL_POLICY || size < sizeof(DWORD))
                return fail(ERROR_INVALID_DATA);
            std::memcpy(buffer, &active->disks.at(device->DevInst).removalPolicy, sizeof(DWORD));
            return TRUE;
        },
        [](HDEVINFO, PSP_DEVINFO_DATA device, PWSTR buffer, DWORD size, PDWORD) -> BOOL {
            return copyOut(active->disks.at(device->DevInst).instanceId, buffer, size);
        },
        [](HDEVINFO) { return TRUE; },
        &openDevice,
        &request,
        &closeDevice,
        [](LPWSTR name, DWORD length) -> HANDLE {
            if (active->volumes.empty())
                return fail(ERROR_NO_MORE_FILES), INVALID_HANDLE_VALUE;
            copyOut(active->volumes[0].name, name, length);
            static DWORD cursor;
            cursor = 0;
            return reinterpret_cast<HANDLE>(&cursor);
        },
        [](HANDLE find, LPWSTR name, DWORD length) -> BOOL {
            DWORD& cursor = *static_cast<DWORD*>(find);
            if (++cursor >= active->volumes.size())
                return fail(active->volumesError ? active->volumesError : ERROR_NO_MORE_FILES);
            return copyOut(active->volumes[cursor].name, name, length);
        },
        [](HANDLE) { return TRUE; },
        [](LPCWSTR name, LPWCH buffer, DWORD length, PDWORD returned) -> BOOL {
            const Volume* volume = volumeNamed(name);
            if (!volume)
                return fail(ERROR_FILE_NOT_FOUND);
            std::wstring list;
            for (const std::wstring& path : volume->paths)
                list += path + L'\0';
            list += L'\0';
            *returned = static_cast<DWORD>(list.size());
            if (list.size() > length)
                return fail(ERROR_MORE_DATA);
            std::wmemcpy(buffer, list.data(), list.size());
            return TRUE;
        },
        [](LPCWSTR root, LPWSTR label, DWORD labelLength, LPDWORD serial, LPDWORD, LPDWORD,
           LPWSTR fileSystem, DWORD fileSystemLength) -> BOOL {
            const Volume* volume = volumeNamed(root);
            if (!volume)
                return fail(ERROR_FILE_NOT_FOUND);
            if (volume->fileSystem.empty())
                return fail(ERROR_UNRECOGNIZED_VOLUME);
            *serial = volume->serial;
            return copyOut(volume->label, label, labelLength) &&
                   copyOut(volume->fileSystem, fileSystem, fileSystemLength);
        },
        [](LPWSTR buffer, UINT length) -> UINT {
            return copyOut(L"C:\\Windows", buffer, length) ? 10 : 0;
        },
        [](LPCWSTR, LPWSTR buffer, DWORD length) -> BOOL {
            return copyOut(L"C:\\", buffer, length);
        },
        [](LPCWSTR, LPWSTR buffer, DWORD length) -> BOOL {
            if (active->systemVolume.empty())
                return fail(ERROR_FILE_NOT_FOUND);
            return copyOut(active->systemVolume, buffer, length);
        },
        &::FindFirstFileW,
        &::FindNextFileW,
        &::FindClose,
        &::GetFileInformationByHandle,
        &::GetFinalPathNameByHandleW,
        &::ReadFile,
        []() -> DWORD { return active->lastError; },
    };
    return table;
}

} // namespace fakedisks
