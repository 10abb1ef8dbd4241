// A disk image on Windows behind a file handle, written unbuffered and through to the
// medium the way a disk is.
#pragma once

#include "shredengine/BlockDevice.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

namespace kestrune::engine {

class HandleBlockDevice final : public BlockDevice {
public:
    // Opens an existing image file for reading and writing. An image the file system keeps
    // read-only opens for reading only and reports readOnly(). Null with *error set (an
    // errno value, see errnoFromWin32) when the file cannot be opened or is no image.
    static std::unique_ptr<HandleBlockDevice> openImage(const std::wstring& path, int* error);
    ~HandleBlockDevice() override;
    HandleBlockDevice(const HandleBlockDevice&) = delete;
    HandleBlockDevice& operator=(const HandleBlockDevice&) = delete;

    uint64_t size() const override { return size_; }
    size_t alignment() const override { return kAlignment; }
    bool readOnly() const override { return readOnly_; }
    bool direct() const override { return true; }
    int writeAt(const void* data, size_t length, uint64_t offset) override;
    int readAt(void* data, size_t length, uint64_t offset) override;
    bool concurrentReads() const override { return true; }
    int sync() override;

    // The size the file has now: 0 when it cannot be read.
    uint64_t currentSize() const;

private:
    using Handle = void*; // the HANDLE, without the system's headers here
    static constexpr size_t kAlignment = 4096;

    HandleBlockDevice(Handle handle, bool readOnly, uint64_t size);
    Handle bufferedHandle(int* error);
    int transfer(bool write, uint8_t* data, size_t length, uint64_t offset);

    Handle handle_;
    // The same file without unbuffered I/O, for a tail that is not a whole sector.
    std::mutex bufferedOpen_;
    std::atomic<Handle> buffered_{nullptr};
    bool readOnly_;
    uint64_t size_;
};

// The errno value that stands for a Win32 error code in the engine's statuses: a medium
// that is gone, a write-protected one, a full one, a failing one, and the rest.
int errnoFromWin32(unsigned long error);

} // namespace kestrune::engine
