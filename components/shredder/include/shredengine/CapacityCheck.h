// Whether a medium really stores what it claims. Counterfeit sticks report a capacity they
// do not have: writes past the real one vanish or land on the start again, and a pass of
// zeros read back as zeros would never show it. Their controllers often keep the last
// megabytes written in memory and answer reads of them from there, so a marker that reads
// back right after it was written proves nothing. A marker lost, or found in another
// place, is evidence at once; one that held only counts once more was written since than
// any cache smaller than the medium keeps.
#pragma once

#include "shredengine/BlockDevice.h"
#include "shredengine/ShredJob.h"

#include <cstdint>
#include <memory>
#include <vector>

namespace kestrune::engine {

// The check of one job, in steps around its first pass:
//  begin()          writes markers at places spread over the medium and reads them back
//                   at once, with the start of the medium, where markers past a smaller
//                   real capacity land. Catches a fake whose cache is small.
//  firstPassDone()  the first pass wrote everything but the markers, which flushes any
//                   cache smaller than the medium; the markers are read again. Catches
//                   the rest. Returns -14 to stop the passes when it does.
//  measure()        on a medium caught by either: where it really stops keeping what it is
//                   given, to the byte, from markers over its start that are read back
//                   only after more was written than a cache could have kept of them.
// Each step returns 0 or the job's status when the check could not go on (-3 aborted, -4
// the medium failed, -5 a write was refused, -10 no memory or randomness).
class CapacityCheck final : public FirstPassGuest {
public:
    CapacityCheck(BlockDevice& device, const unsigned char* abortFlag);
    ~CapacityCheck() override;
    CapacityCheck(const CapacityCheck&) = delete;
    CapacityCheck& operator=(const CapacityCheck&) = delete;

    int32_t begin();
    const std::vector<uint64_t>& reservedBlocks() const override;
    size_t reservedLength() const override;
    int32_t firstPassDone() override;
    int32_t measure();

    // The medium was caught holding less than it claims, and measure() found no better.
    bool counterfeit() const;
    // The usable size is known: a genuine medium confirmed, or a caught one measured.
    bool settled() const;
    // The bytes that keep what is written to them; the whole size until it is caught.
    uint64_t usable() const;

private:
    class Run;
    std::unique_ptr<Run> run_;
};

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
