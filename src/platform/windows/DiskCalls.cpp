#include "platform/windows/DiskCalls.h"

#include <algorithm>

namespace kestrune::platform::windows_impl {

const GUID kDiskInterface = {
    0x53f56307, 0xb6bf, 0x11d0, {0x94, 0xf2, 0x00, 0xa0, 0xc9, 0x1e, 0xfb, 0x8b}};
const GUID kVolumeInterface = {
    0x53f5630d, 0xb6bf, 0x11d0, {0x94, 0xf2, 0x00, 0xa0, 0xc9, 0x1e, 0xfb, 0x8b}};

const DiskCalls& systemDiskCalls() {
    static const DiskCalls calls{
        &::SetupDiGetClassDevsW,
        &::SetupDiEnumDeviceInterfaces,
        &::SetupDiGetDeviceInterfaceDetailW,
        &::SetupDiGetDeviceRegistryPropertyW,
        &::SetupDiGetDeviceInstanceIdW,
        &::SetupDiDestroyDeviceInfoList,
        &::CreateFileW,
        &::DeviceIoControl,
        &::CloseHandle,
        &::FindFirstVolumeW,
        &::FindNextVolumeW,
        &::FindVolumeClose,
        &::GetVolumePathNamesForVolumeNameW,
        &::GetVolumeInformationW,
        &::GetSystemWindowsDirectoryW,
        &::GetVolumePathNameW,
        &::GetVolumeNameForVolumeMountPointW,
        &::FindFirstFileW,
        &::FindNextFileW,
        &::FindClose,
        &::GetFileInformationByHandle,
        &::GetFinalPathNameByHandleW,
        &::ReadFile,
        &::GetLastError,
    };
    return calls;
}

HANDLE openForQuery(const DiskCalls& calls, const QString& path) {
    return calls.createFile(wide(path), 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                            OPEN_EXISTING, 0, nullptr);
}

QString win32Message(DWORD error) {
    wchar_t* text = nullptr;
    const DWORD length = ::FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, error, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    QString message = length > 0 ? QString::fromWCharArray(text, length).trimmed() : QString();
    if (text)
        ::LocalFree(text);
    if (message.isEmpty())
        message = QStringLiteral("Windows error");
    return QStringLiteral("%1 (%2)").arg(message).arg(error);
}

std::optional<DWORD> deviceNumberOf(const DiskCalls& calls, HANDLE handle, DWORD* error) {
    STORAGE_DEVICE_NUMBER number{};
    const DWORD failure =
        control(calls, handle, IOCTL_STORAGE_GET_DEVICE_NUMBER, &number, sizeof number);
    if (error)
        *error = failure;
    if (failure != 0)
        return std::nullopt;
    return number.DeviceNumber;
}

QString physicalDrivePath(DWORD number) {
    return QStringLiteral("\\\\.\\PhysicalDrive%1").arg(number);
}

namespace {

// "\\?\Volume{...}\" opens as a device without its last "\".
QString volumeDevicePath(QString name) {
    if (name.endsWith(QLatin1Char('\\')))
        name.chop(1);
    return name;
}

} // namespace

VolumeOnDisks volumeOnDisks(const DiskCalls& calls, const QString& volumeName) {
    VolumeOnDisks entry{volumeName, {}, 0};
    std::vector<DWORD>& disks = entry.disks;
    Handle volume(calls, openForQuery(calls, volumeDevicePath(volumeName)));
    if (!volume.valid())
        return entry;
    // Room for a volume spread over 64 disks.
    constexpr DWORD kExtents = 64;
    std::vector<std::uint8_t> buffer(sizeof(VOLUME_DISK_EXTENTS) + kExtents * sizeof(DISK_EXTENT));
    if (control(calls, volume.get(), IOCTL_VOLUME_GET_VOLUME_DISK_EXTENTS, buffer.data(),
                static_cast<DWORD>(buffer.size())) != 0)
        return entry;
    const auto* extents = reinterpret_cast<const VOLUME_DISK_EXTENTS*>(buffer.data());
    const DWORD count = std::min<DWORD>(extents->NumberOfDiskExtents, kExtents);
    for (DWORD i = 0; i < count; ++i)
        if (std::find(disks.begin(), disks.end(), extents->Extents[i].DiskNumber) == disks.end())
            disks.push_back(extents->Extents[i].DiskNumber);
    STORAGE_DEVICE_NUMBER number{};
    if (disks.size() == 1 &&
        control(calls, volume.get(), IOCTL_STORAGE_GET_DEVICE_NUMBER, &number, sizeof number) == 0)
        entry.partition = number.PartitionNumber;
    return entry;
}

std::optional<std::vector<VolumeOnDisks>> volumesWithDisks(const DiskCalls& calls, DWORD* error) {
    std::vector<VolumeOnDisks> volumes;
    wchar_t name[MAX_PATH] = {};
    HANDLE find = calls.findFirstVolume(name, MAX_PATH);
    if (find == INVALID_HANDLE_VALUE) {
        const DWORD failure = calls.getLastError();
        if (failure == ERROR_NO_MORE_FILES)
            return volumes;
        if (error)
            *error = failure;
        return std::nullopt;
    }
    DWORD failure = 0;
    do {
        volumes.push_back(volumeOnDisks(calls, QString::fromWCharArray(name)));
    } while (calls.findNextVolume(find, name, MAX_PATH));
    failure = calls.getLastError();
    calls.findVolumeClose(find);
    if (failure != ERROR_NO_MORE_FILES) {
        // The list broke off: a volume of the system's disk may be among those not seen.
        if (error)
            *error = failure;
        return std::nullopt;
    }
    return volumes;
}

std::optional<std::vector<DWORD>> systemDisks(const DiskCalls& calls,
                                              const std::vector<VolumeOnDisks>& volumes) {
    wchar_t folder[MAX_PATH];
    wchar_t mountPoint[MAX_PATH];
    wchar_t volume[MAX_PATH];
    const UINT length = calls.getSystemWindowsDirectory(folder, MAX_PATH);
    if (length == 0 || length >= MAX_PATH ||
        !calls.getVolumePathName(folder, mountPoint, MAX_PATH) ||
        !calls.getVolumeNameForVolumeMountPoint(mountPoint, volume, MAX_PATH))
        return std::nullopt;
    const QString system = QString::fromWCharArray(volume);
    for (const VolumeOnDisks& entry : volumes)
        if (entry.name.compare(system, Qt::CaseInsensitive) == 0 && !entry.disks.empty())
            return entry.disks;
    return std::nullopt; // a system volume on no disk that says so: every disk may hold it
}

} // namespace kestrune::platform::windows_impl
