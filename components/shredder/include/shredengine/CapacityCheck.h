// Whether a medium really stores what it claims. Counterfeit sticks report a capacity they
// do not have: writes past the real one vanish or land on the start again, and a pass of
// zeros read back as zeros would never show it.
#pragma once

#include "shredengine/BlockDevice.h"

#include <cstdint>

namespace kestrune::engine {

struct CapacityCheck {
    // 0, or the job's status when the check itself could not run (-3 aborted, -4 the
    // medium failed from its first byte on, -5 a write was refused, -10 no memory).
    int32_t status = 0;
    // The bytes that hold what is written to them: the whole size for a genuine medium.
    uint64_t usable = 0;
    bool counterfeit = false;
};

// Writes markers (the byte offset and a per-check random tag, in every 32 bytes) over a
// contiguous head of the medium and at positions spread up to its end, then reads them all
// back. A write past the real capacity that wraps lands in the head, whatever that capacity
// is, and one that is lost reads back without its marker. Costs a few seconds on a stick of
// tens of gigabytes; leaves markers that the passes then overwrite.
CapacityCheck checkCapacity(BlockDevice& device, const unsigned char* abortFlag);

// The first bytes of a device, as a device of their own.
class UsablePart final : public BlockDevice {
public:
    UsablePart(BlockDevice& device, uint64_t length) : device_(device), length_(length) {}
    uint64_t size() const override { return length_; }
    size_t alignment() const override { return device_.alignment(); }
    bool readOnly() const override { return device_.readOnly(); }
    bool direct() const override { return device_.direct(); }
    int writeAt(const void* data, size_t length, uint64_t offset) override;
    int readAt(void* data, size_t length, uint64_t offset) override;
    bool concurrentReads() const override { return device_.concurrentReads(); }
    int sync() override { return device_.sync(); }
    void dropCache() override { device_.dropCache(); }

private:
    BlockDevice& device_;
    uint64_t length_;
};

} // namespace kestrune::engine
