// Whether a medium really stores what it claims. Counterfeit controllers hand out flash in
// the order blocks are first written, keep small writes in logs, keep what was written or
// read last in caches, and wrap or drop what lies past their real flash. So the check
// decides from what each block holds, never from where it was written first: its markers
// carry their own address and a nonce of this job, are written inside the last pass's own
// large writes (as the blocks around them are), and are read back by the pass's read-back,
// after the whole medium was written and most of it read.
#pragma once

#include "shredengine/BlockDevice.h"
#include "shredengine/ShredJob.h"

#include <array>
#include <cstdint>
#include <memory>
#include <vector>

namespace kestrune::engine {

// The check of one job:
//  prepare()   lays its marker blocks over the medium (the first, the last and some in
//              between, each a little off a regular place) and draws the nonce.
//  the last pass carries the markers (PassGuest) and its read-back compares them.
//  judge()     what the read-back's failures mean: none, a few small places with the
//              medium around them keeping what it was given (bad blocks), or otherwise
//              a measurement: markers with a fresh nonce over a growing start of the
//              medium, each part read back only after more was written past it than a
//              cache or log keeps, until the start stops keeping them. The usable size is
//              the longest start that keeps what was written to it, to the sector.
// Each step returns 0 or the job's status when the check could not go on (-3 aborted, -4
// the medium failed or could not be read, -5 a write was refused, -10 no randomness).
class CapacityCheck final : public PassGuest {
public:
    enum class Verdict { Whole, BadBlocks, Counterfeit };

    CapacityCheck(BlockDevice& device, const unsigned char* abortFlag);
    ~CapacityCheck() override;
    CapacityCheck(const CapacityCheck&) = delete;
    CapacityCheck& operator=(const CapacityCheck&) = delete;

    int32_t prepare();
    const std::vector<uint64_t>& reservedBlocks() const override;
    size_t reservedLength() const override;
    void fill(uint8_t* out, uint64_t offset) const override;

    int32_t judge(const std::vector<ByteRange>& failed);
    Verdict verdict() const;
    // The bytes from the start that keep what is written to them; the whole size unless
    // the medium is a counterfeit.
    uint64_t usable() const;
    // Where the measurement wrote past the usable part: its markers may be kept there.
    uint64_t measuredUpTo() const;

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
