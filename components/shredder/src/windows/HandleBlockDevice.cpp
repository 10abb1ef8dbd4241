#include "shredengine/HandleBlockDevice.h"

#include "shredengine/WindowsDisk.h"

#include <windows.h>

#include <algorithm>
#include <cstdint>

namespace kestrune::engine {

namespace {

constexpr DWORD kShare = FILE_SHARE_READ | FILE_SHARE_WRITE;
constexpr DWORD kUnbuffered = FILE_FLAG_NO_BUFFERING | FILE_FLAG_WRITE_THROUGH;
} // namespace

std::unique_ptr<HandleBlockDevice> HandleBlockDevice::openImage(const std::wstring& path,
                                                                int* error) {
    bool readOnly = false;
    HANDLE handle = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, kShare, nullptr,
                                OPEN_EXISTING, kUnbuffered, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        const DWORD code = GetLastError();
        const DWORD attributes = GetFileAttributesW(path.c_str());
        if (code != ERROR_ACCESS_DENIED || attributes == INVALID_FILE_ATTRIBUTES ||
            (attributes & FILE_ATTRIBUTE_READONLY) == 0) {
            *error = errnoFromWin32(code);
            return nullptr;
        }
        // Read-only like a stick with its switch set: it is found, and refused as that.
        handle = CreateFileW(path.c_str(), GENERIC_READ, kShare, nullptr, OPEN_EXISTING,
                             kUnbuffered, nullptr);
        if (handle == INVALID_HANDLE_VALUE) {
            *error = errnoFromWin32(GetLastError());
            return nullptr;
        }
        readOnly = true;
    }
    BY_HANDLE_FILE_INFORMATION info{};
    LARGE_INTEGER size{};
    int failure = 0;
    if (!GetFileInformationByHandle(handle, &info) || !GetFileSizeEx(handle, &size))
        failure = errnoFromWin32(GetLastError());
    else if (GetFileType(handle) != FILE_TYPE_DISK ||
             (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0)
        failure = ENODEV; // a pipe, a console or a folder is no image
    if (failure != 0) {
        CloseHandle(handle);
        *error = failure;
        return nullptr;
    }
    // The attribute binds even those whose rights would let them write (Wine's root).
    if ((info.dwFileAttributes & FILE_ATTRIBUTE_READONLY) != 0)
        readOnly = true;
    *error = 0;
    return std::unique_ptr<HandleBlockDevice>(
        new HandleBlockDevice(handle, readOnly, static_cast<uint64_t>(size.QuadPart)));
}

HandleBlockDevice::HandleBlockDevice(Handle handle, bool readOnly, uint64_t size)
    : handle_(handle), readOnly_(readOnly), size_(size) {}

HandleBlockDevice::~HandleBlockDevice() {
    if (Handle buffered = buffered_.load())
        CloseHandle(buffered);
    CloseHandle(handle_);
}

HandleBlockDevice::Handle HandleBlockDevice::bufferedHandle(int* error) {
    Handle handle = buffered_.load(std::memory_order_acquire);
    if (handle)
        return handle;
    std::lock_guard lock(bufferedOpen_);
    handle = buffered_.load(std::memory_order_relaxed);
    if (!handle) {
        // The file this handle has open, whatever its name has come to mean since.
        const DWORD access = readOnly_ ? GENERIC_READ : GENERIC_READ | GENERIC_WRITE;
        HANDLE reopened = ReOpenFile(handle_, access, kShare, FILE_FLAG_WRITE_THROUGH);
        if (reopened == INVALID_HANDLE_VALUE) {
            *error = errnoFromWin32(GetLastError());
            return nullptr;
        }
        handle = reopened;
        buffered_.store(handle, std::memory_order_release);
    }
    return handle;
}

int HandleBlockDevice::transfer(bool write, uint8_t* data, size_t length, uint64_t offset) {
    if (offset > size_ || length > size_ - offset)
        return write ? ENOSPC : EIO;
    const bool alignedMemory = reinterpret_cast<uintptr_t>(data) % kAlignment == 0;
    // Unbuffered I/O moves whole sectors from aligned memory; the rest (the end of an image
    // that is no whole number of sectors) goes through the buffered handle.
    size_t head = 0;
    if (alignedMemory && offset % kAlignment == 0)
        head = length - length % kAlignment;
    if (head > 0) {
        if (int rc = win32Transfer(systemWin32Calls(), handle_, write, data, head, offset))
            return rc;
    }
    if (head == length)
        return 0;
    int error = 0;
    Handle buffered = bufferedHandle(&error);
    if (!buffered)
        return error;
    return win32Transfer(systemWin32Calls(), buffered, write, data + head, length - head,
                         offset + head);
}

int HandleBlockDevice::writeAt(const void* data, size_t length, uint64_t offset) {
    if (readOnly_)
        return EROFS;
    return transfer(true, static_cast<uint8_t*>(const_cast<void*>(data)), length, offset);
}

int HandleBlockDevice::readAt(void* data, size_t length, uint64_t offset) {
    return transfer(false, static_cast<uint8_t*>(data), length, offset);
}

int HandleBlockDevice::sync() {
    if (Handle buffered = buffered_.load(std::memory_order_acquire);
        buffered && !FlushFileBuffers(buffered))
        return errnoFromWin32(GetLastError());
    if (!FlushFileBuffers(handle_))
        return errnoFromWin32(GetLastError());
    return 0;
}

uint64_t HandleBlockDevice::currentSize() const {
    LARGE_INTEGER size{};
    return GetFileSizeEx(handle_, &size) ? static_cast<uint64_t>(size.QuadPart) : 0;
}

int errnoFromWin32(unsigned long error) {
    switch (error) {
    case ERROR_SUCCESS:
        return 0;
    case ERROR_WRITE_PROTECT:
        return EROFS;
    case ERROR_NOT_READY:
    case ERROR_NO_MEDIA_IN_DRIVE:
    case ERROR_MEDIA_CHANGED:
    case ERROR_UNRECOGNIZED_MEDIA:
        return ENOMEDIUM;
    case ERROR_DEVICE_NOT_CONNECTED:
    case ERROR_DEV_NOT_EXIST:
    case ERROR_DEVICE_REMOVED:
    case ERROR_FILE_INVALID: // the volume went away under an open file
        return ENODEV;
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
        return ENOENT;
    case ERROR_CRC:
    case ERROR_SEEK:
    case ERROR_SECTOR_NOT_FOUND:
    case ERROR_WRITE_FAULT:
    case ERROR_READ_FAULT:
    case ERROR_GEN_FAILURE:
    case ERROR_IO_DEVICE:
        return EIO;
    case ERROR_HANDLE_EOF:
    case ERROR_DISK_FULL:
        return ENOSPC;
    case ERROR_ACCESS_DENIED:
        return EACCES;
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
    case ERROR_BUSY:
    case ERROR_DRIVE_LOCKED:
        return EBUSY;
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY:
    case ERROR_NO_SYSTEM_RESOURCES:
        return ENOMEM;
    default:
        return EINVAL; // none of the above: a plain write error
    }
}

} // namespace kestrune::engine
