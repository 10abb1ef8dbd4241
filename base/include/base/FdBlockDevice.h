// A disk or an image file behind an open descriptor (Linux).
#pragma once

#include "base/BlockDevice.h"

#include <atomic>
#include <memory>
#include <mutex>

namespace kestrune::blockio {

class FdBlockDevice final : public BlockDevice {
public:
    // Takes ownership of fd. Null with *error set when the size cannot be read.
    static std::unique_ptr<FdBlockDevice> adopt(int fd, bool directIo, int* error);
    ~FdBlockDevice() override;
    FdBlockDevice(const FdBlockDevice&) = delete;
    FdBlockDevice& operator=(const FdBlockDevice&) = delete;

    uint64_t size() const override { return size_; }
    size_t alignment() const override { return alignment_; }
    bool readOnly() const override { return readOnly_; }
    bool direct() const override { return direct_; }
    int writeAt(const void* data, size_t length, uint64_t offset) override;
    int readAt(void* data, size_t length, uint64_t offset) override;
    bool concurrentReads() const override { return true; }
    int sync() override;
    void dropCache() override;

    // The size the medium has now: 0 when it cannot be read (it has gone).
    uint64_t currentSize() const;
    int fd() const { return fd_; }
    bool isBlockDevice() const { return blockDevice_; }

private:
    FdBlockDevice(int fd, bool directIo);
    int bufferedFd(int* error);
    int transfer(bool write, void* data, size_t length, uint64_t offset);

    int fd_;
    std::mutex bufferedOpen_;
    std::atomic<int> buffered_{-1}; // same file without O_DIRECT, for a tail that is not aligned
    bool direct_;
    bool blockDevice_ = false;
    bool readOnly_ = false;
    uint64_t size_ = 0;
    size_t alignment_ = 4096;
};

} // namespace kestrune::blockio
