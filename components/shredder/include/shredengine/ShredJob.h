// The overwrite passes and the read-back of the last one, independent of how the disk
// was found and opened.
#pragma once

#include "shredengine/BlockDevice.h"

#include <kestrune/shred_abi.h>
#include <kestrune/shred_methods.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

namespace kestrune::engine {

// The methods' numbers under the engine's names (kestrune/shred_methods.h has them all).
enum Algorithm : int32_t {
    ALGORITHM_ZERO = SHRED_METHOD_ZEROS,
    ALGORITHM_RANDOM = SHRED_METHOD_RANDOM,
    ALGORITHM_THREE_PASS = SHRED_METHOD_THREE_PASSES,
    ALGORITHM_GUTMANN = SHRED_METHOD_35_PASSES,
};

// Statuses of our own beside those of shred_abi.h.
enum : int32_t {
    ENGINE_STATUS_BAD_REQUEST = -2,   // unknown algorithm or no such job
    ENGINE_STATUS_NO_RESOURCES = -10, // no memory or no randomness for the job
};

enum class PassKind { Pattern, Random };

struct Pass {
    PassKind kind = PassKind::Pattern;
    std::array<uint8_t, 3> pattern{}; // byte at offset o is pattern[o % 3]
    bool operator==(const Pass&) const = default;
};

Pass patternPass(uint8_t a, uint8_t b, uint8_t c);
inline Pass patternPass(uint8_t byte) {
    return patternPass(byte, byte, byte);
}
inline Pass randomPass() {
    return Pass{PassKind::Random, {}};
}

// The 27 fixed patterns of the 35-pass sequence, in their canonical order.
const std::array<Pass, 27>& gutmannPatterns();

// The passes of a method as its row in kShredMethods describes them (the fixed patterns
// freshly shuffled); false when no method has that number.
bool passPlan(int32_t algorithm, std::vector<Pass>& plan);

// Receives progress over the whole job: all passes plus the read-back.
class ProgressSink {
public:
    virtual ~ProgressSink() = default;
    virtual void progress(int percent, int64_t bytesLeft, int64_t bytesDone,
                          double mibPerSecond) = 0;
};

// Hands progress to a status callback as status base + percent * span / 100.
class StatusCallbackSink final : public ProgressSink {
public:
    StatusCallbackSink(ShredStatusCallback callback, void* context, int32_t deviceNumber,
                       int32_t base = 0, int32_t span = 100)
        : callback_(callback), context_(context), deviceNumber_(deviceNumber), base_(base),
          span_(span) {}
    void progress(int percent, int64_t bytesLeft, int64_t bytesDone, double mibPerSecond) override;

private:
    ShredStatusCallback callback_;
    void* context_;
    int32_t deviceNumber_;
    int32_t base_;
    int32_t span_;
};

// Lets tests watch the passes.
class JobObserver {
public:
    virtual ~JobObserver() = default;
    virtual void passStarted(size_t /*index*/, const Pass&) {}
    // The pass is complete and synced to the medium.
    virtual void passFinished(size_t /*index*/, const Pass&) {}
    virtual void verificationStarted() {}
    virtual void blockWritten(uint64_t /*offset*/, size_t /*length*/) {}
};

// Rides on the last pass (the capacity check does): its blocks get the guest's content
// inside the pass's own writes, so they meet the same flash, log and cache as the blocks
// around them, and the read-back checks them against it. Afterwards they get the pass's
// content too, and are read back once more.
class PassGuest {
public:
    virtual ~PassGuest() = default;
    // Offsets of blocks of reservedLength() bytes each, ascending and apart.
    virtual const std::vector<uint64_t>& reservedBlocks() const = 0;
    virtual size_t reservedLength() const = 0;
    // The guest's content of the block at offset.
    virtual void fill(uint8_t* out, uint64_t offset) const = 0;
};

// Bytes the read-back found wrong or could not read.
struct ByteRange {
    uint64_t offset = 0;
    uint64_t length = 0;
    bool unreadable = false;
};

struct JobOptions {
    // Block sizes adapt to the medium so that an abort is noticed within a second.
    size_t initialBlock = 1u << 20;
    size_t minBlock = 64u << 10;
    size_t maxBlock = 4u << 20;
    std::chrono::milliseconds slowBlock{250};
    std::chrono::milliseconds fastBlock{60};
    std::chrono::milliseconds reportInterval{250};
    bool verify = true;
    JobObserver* observer = nullptr;
    // 0 while the medium is still the one the job began on, whole and writable; else the
    // status that says what became of it (-4 gone or shrunk, -15 now write-protected).
    // Asked after every pass and whenever a transfer fails, so the status names the cause.
    std::function<int32_t()> mediumCheck;
    PassGuest* lastPassGuest = nullptr;
};

// What a job found out, for its report.
struct JobOutcome {
    enum class Verification { NotReached, Passed, Failed };
    uint64_t claimedBytes = 0;
    // What the capacity check found (0: the medium keeps nothing at all); none when the
    // check did not run to its end.
    std::optional<uint64_t> usableBytes;
    Verification verification = Verification::NotReached;
    uint64_t mismatchOffset = 0; // of the first byte that read back different
    bool verificationStarted = false;
    uint64_t verifiedBytes = 0; // read back from the start and matching
    uint32_t passesDone = 0;    // complete and synced to the medium
    // Where the read-back found other bytes or none, in order; it goes on past them.
    std::vector<ByteRange> failedRanges;
    // Of a counterfeit: the ranges past the usable part that kept the last pass.
    std::vector<ByteRange> keptElsewhere;
};

// Buffers a job holds at most: keeps a job within 16 MiB.
size_t jobBufferBytes(const JobOptions& options);

// Runs the passes over the whole device, then reads the last pass back to its end, past
// blocks that read wrong or not at all. Returns 200, or -3 aborted, -4 medium failed or
// vanished or blocks unreadable, -5 write error, -8 mismatch, -15 read-only.
int32_t runPasses(BlockDevice& device, const std::vector<Pass>& plan, ProgressSink& sink,
                  const unsigned char* abortFlag, const JobOptions& options = {},
                  JobOutcome* outcome = nullptr);

// A shred job: the passes over the whole claimed size with the capacity check riding on
// the last one; a medium caught holding less is measured and its usable part written and
// read back once more. Returns what runPasses returns, or -14 when all it keeps was
// erased on a medium that holds less than it claims.
int32_t runJob(BlockDevice& device, const std::vector<Pass>& plan, ProgressSink& sink,
               const unsigned char* abortFlag, const JobOptions& options, JobOutcome& outcome);

// Status for an errno value met while writing (reading always means -4).
int32_t writeFailureStatus(int error);

} // namespace kestrune::engine
