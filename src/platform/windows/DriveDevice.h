// A physical drive (or an image file) behind a handle opened for unbuffered I/O, as the base's
// block I/O writes to it: whole sectors from aligned memory, as Windows requires of such a
// handle. Everything goes through the format's call table.
#pragma once

#include "FormatCalls.h"

#include "base/BlockDevice.h"

namespace kestrune::platform {

class DriveDevice final : public blockio::BlockDevice {
public:
    DriveDevice(const FormatCalls& calls, HANDLE handle, uint64_t size, uint32_t sector)
        : calls_(calls), handle_(handle), size_(size), sector_(sector) {}

    uint64_t size() const override { return size_; }
    size_t alignment() const override { return sector_; }
    bool readOnly() const override { return false; }
    bool direct() const override { return true; }
    int writeAt(const void* data, size_t length, uint64_t offset) override;
    int readAt(void* data, size_t length, uint64_t offset) override;
    int sync() override;

private:
    int transfer(bool write, uint8_t* data, size_t length, uint64_t offset);

    const FormatCalls& calls_;
    HANDLE handle_;
    uint64_t size_;
    uint32_t sector_;
};

} // namespace kestrune::platform
