// The few operations a disk offers to whoever overwrites it (the shred engine's passes, the
// format's zeroing), so their logic can run against devices that misbehave in tests.
// Portable: the Windows engine's disk is one too.
#pragma once

#include <cerrno>
#include <cstddef>
#include <cstdint>

// Errno values the devices report that not every C library names (Windows' has neither).
#ifndef ENOMEDIUM
#define ENOMEDIUM 2001 // no medium in the drive
#endif
#ifndef ESHUTDOWN
#define ESHUTDOWN 2002 // the device is shutting down, as a stick that is pulled
#endif

namespace kestrune::blockio {

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

} // namespace kestrune::blockio
