#include "shredengine/HandleBlockDevice.h"
#include "shredengine/WindowsDisk.h"

#include <algorithm>

namespace kestrune::engine {

namespace {
// What one call moves at most: far below what a DWORD counts, and a whole number of sectors.
constexpr size_t kMostPerCall = 1u << 30;
} // namespace

const Win32Calls& systemWin32Calls() {
    static const Win32Calls calls{
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

int win32Transfer(const Win32Calls& calls, HANDLE handle, bool write, uint8_t* data, size_t length,
                  uint64_t offset) {
    while (length > 0) {
        const auto chunk = static_cast<DWORD>(std::min(length, kMostPerCall));
        OVERLAPPED at{};
        at.Offset = static_cast<DWORD>(offset);
        at.OffsetHigh = static_cast<DWORD>(offset >> 32);
        DWORD done = 0;
        const BOOL ok = write ? calls.writeFile(handle, data, chunk, &done, &at)
                              : calls.readFile(handle, data, chunk, &done, &at);
        if (!ok) {
            const DWORD code = calls.getLastError();
            return !write && code == ERROR_HANDLE_EOF ? EIO : errnoFromWin32(code);
        }
        if (done == 0)
            return write ? ENOSPC : EIO; // nothing more fits, or the medium ended early
        data += done;
        length -= done;
        offset += done;
    }
    return 0;
}

} // namespace kestrune::engine
