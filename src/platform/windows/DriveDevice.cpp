#include "DriveDevice.h"

#include <algorithm>

namespace kestrune::platform {

namespace {
// What one call moves at most: far below what a DWORD counts, and a whole number of sectors.
constexpr size_t kMostPerCall = 1u << 30;
constexpr uintptr_t kMemoryAlignment = 4096; // a page: aligned for every sector size
} // namespace

int DriveDevice::transfer(bool write, uint8_t* data, size_t length, uint64_t offset) {
    if (offset > size_ || length > size_ - offset)
        return write ? ENOSPC : EIO;
    // The format's writers keep to what an unbuffered handle takes; anything else would
    // fail in the system with a less telling error.
    if (offset % sector_ != 0 || length % sector_ != 0 ||
        reinterpret_cast<uintptr_t>(data) % kMemoryAlignment != 0)
        return EINVAL;
    while (length > 0) {
        const auto chunk = static_cast<DWORD>(std::min(length, kMostPerCall));
        OVERLAPPED at{};
        at.Offset = static_cast<DWORD>(offset);
        at.OffsetHigh = static_cast<DWORD>(offset >> 32);
        DWORD done = 0;
        const BOOL ok = write ? calls_.writeFile(handle_, data, chunk, &done, &at)
                              : calls_.readFile(handle_, data, chunk, &done, &at);
        if (!ok)
            return errnoFromWin32(calls_.getLastError());
        if (done == 0)
            return write ? ENOSPC : EIO; // the medium ended before the size it told
        data += done;
        length -= done;
        offset += done;
    }
    return 0;
}

int DriveDevice::writeAt(const void* data, size_t length, uint64_t offset) {
    return transfer(true, static_cast<uint8_t*>(const_cast<void*>(data)), length, offset);
}

int DriveDevice::readAt(void* data, size_t length, uint64_t offset) {
    return transfer(false, static_cast<uint8_t*>(data), length, offset);
}

int DriveDevice::sync() {
    return calls_.flushFileBuffers(handle_) ? 0 : errnoFromWin32(calls_.getLastError());
}

} // namespace kestrune::platform
