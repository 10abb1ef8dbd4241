#include "FormatCalls.h"

#include <algorithm>
#include <cerrno>

// Errno values Windows' C library does not name (base/BlockDevice.h names them too).
#ifndef ENOMEDIUM
#define ENOMEDIUM 2001
#endif

namespace kestrune::platform {

const FormatCalls& systemFormatCalls() {
    static const FormatCalls calls{
        &::CreateFileW,        &::CloseHandle,
        &::DeviceIoControl,    &::ReadFile,
        &::WriteFile,          &::FlushFileBuffers,
        &::FindFirstVolumeW,   &::FindNextVolumeW,
        &::FindVolumeClose,    &::GetSystemWindowsDirectoryW,
        &::GetVolumePathNameW, &::GetVolumeNameForVolumeMountPointW,
        &::GetLastError,
    };
    return calls;
}

int errnoFromWin32(DWORD error) {
    switch (error) {
    case ERROR_SUCCESS:
        return 0;
    case ERROR_WRITE_PROTECT:
        return EROFS;
    case ERROR_NOT_READY:
    case ERROR_NO_MEDIA_IN_DRIVE:
    case ERROR_MEDIA_CHANGED:
        return ENOMEDIUM;
    case ERROR_DEVICE_NOT_CONNECTED:
    case ERROR_DEV_NOT_EXIST:
    case ERROR_DEVICE_REMOVED:
        return ENODEV;
    case ERROR_HANDLE_EOF:
    case ERROR_DISK_FULL:
        return ENOSPC;
    case ERROR_ACCESS_DENIED:
        return EACCES;
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
    case ERROR_BUSY:
        return EBUSY;
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY:
        return ENOMEM;
    default:
        return EIO; // a medium error (CRC, seek, write fault) or one we do not tell apart
    }
}

std::string win32Text(DWORD error) {
    wchar_t* text = nullptr;
    const DWORD length = FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, error, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    std::string said;
    if (length && text) {
        const int bytes = WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(length), nullptr,
                                              0, nullptr, nullptr);
        said.resize(static_cast<size_t>(std::max(bytes, 0)));
        WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(length), said.data(), bytes, nullptr,
                            nullptr);
    }
    LocalFree(text);
    while (!said.empty() &&
           (said.back() == '\n' || said.back() == '\r' || said.back() == ' ' || said.back() == '.'))
        said.pop_back();
    return said.empty() ? "Windows error " + std::to_string(error) : said;
}

} // namespace kestrune::platform
