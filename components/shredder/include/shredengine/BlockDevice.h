// The few operations the passes need from a disk, so the pass logic can be run against
// devices that misbehave in tests.
#pragma once

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

// Errno values the devices report that not every C library names (Windows' has neither).
#ifndef ENOMEDIUM
#define ENOMEDIUM 2001 // no medium in the drive
#endif
#ifndef ESHUTDOWN
#define ESHUTDOWN 2002 // the device is shutting down, as a stick that is pulled
#endif

namespace kestrune::engine {

class BlockDevice {
public:
    virtual ~BlockDevice() = default;

    virtual uint64_t size() const = 0;
    // Offsets and lengths that are multiples of this go straight to the medium.
    virtual size_t alignment() const = 0;
    virtual bool readOnly() const = 0;
    // True when writes bypass the page cache.
    virtual bool direct() const = 0;

    // Write or read the whole range; 0 on success, else an errno value.
    virtual int writeAt(const void* data, size_t length, uint64_t offset) = 0;
    virtual int readAt(void* data, size_t length, uint64_t offset) = 0;
    // True when two threads may read different ranges at the same time (and nothing
    // else runs meanwhile); otherwise the device sees one call at a time.
    virtual bool concurrentReads() const { return false; }
    // Everything written so far is on the medium; 0 or an errno value.
    virtual int sync() = 0;
    // After a sync: the next reads come from the medium, not from this machine's cache.
    virtual void dropCache() {}
};

// A disk or an image file behind an open descriptor.
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

// 4096-aligned memory for direct (unbuffered) I/O.
class AlignedBuffer {
public:
    explicit AlignedBuffer(size_t size);
    ~AlignedBuffer();
    AlignedBuffer(const AlignedBuffer&) = delete;
    AlignedBuffer& operator=(const AlignedBuffer&) = delete;
    uint8_t* data() const { return data_; }
    size_t size() const { return size_; }
    explicit operator bool() const { return data_ != nullptr; }

private:
    uint8_t* data_ = nullptr;
    size_t size_ = 0;
};

} // namespace kestrune::engine
