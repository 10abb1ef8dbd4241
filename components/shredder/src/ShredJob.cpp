#include "shredengine/ShredJob.h"

#include "PassTools.h"
#include "shredengine/CapacityCheck.h"
#include "shredengine/RandomStream.h"

#include "base/AbortFlag.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <tuple>
#include <type_traits>

namespace kestrune::engine {

namespace {

bool uniformIndex(size_t bound, size_t& out) {
    // Rejection sampling keeps the shuffle unbiased.
    const uint64_t limit = UINT64_MAX - UINT64_MAX % bound;
    uint64_t value = 0;
    do {
        if (!systemRandom(&value, sizeof value))
            return false;
    } while (value >= limit);
    out = static_cast<size_t>(value % bound);
    return true;
}

} // namespace

Pass patternPass(uint8_t a, uint8_t b, uint8_t c) {
    return Pass{PassKind::Pattern, {a, b, c}};
}

const std::array<Pass, 27>& gutmannPatterns() {
    static const std::array<Pass, 27> patterns = {
        patternPass(0x55),
        patternPass(0xAA),
        patternPass(0x92, 0x49, 0x24),
        patternPass(0x49, 0x24, 0x92),
        patternPass(0x24, 0x92, 0x49),
        patternPass(0x00),
        patternPass(0x11),
        patternPass(0x22),
        patternPass(0x33),
        patternPass(0x44),
        patternPass(0x55),
        patternPass(0x66),
        patternPass(0x77),
        patternPass(0x88),
        patternPass(0x99),
        patternPass(0xAA),
        patternPass(0xBB),
        patternPass(0xCC),
        patternPass(0xDD),
        patternPass(0xEE),
        patternPass(0xFF),
        patternPass(0x92, 0x49, 0x24),
        patternPass(0x49, 0x24, 0x92),
        patternPass(0x24, 0x92, 0x49),
        patternPass(0x6D, 0xB6, 0xDB),
        patternPass(0xB6, 0xDB, 0x6D),
        patternPass(0xDB, 0x6D, 0xB6),
    };
    return patterns;
}

namespace {

// The fixed patterns in an order drawn for this job (Fisher-Yates).
bool shuffledPatterns(std::vector<Pass>& plan) {
    std::vector<Pass> fixed(gutmannPatterns().begin(), gutmannPatterns().end());
    for (size_t i = fixed.size() - 1; i > 0; --i) {
        size_t j = 0;
        if (!uniformIndex(i + 1, j))
            return false;
        std::swap(fixed[i], fixed[j]);
    }
    plan.insert(plan.end(), fixed.begin(), fixed.end());
    return true;
}

// The table counts a shuffled step's passes, so that everyone can count a method's passes.
consteval bool shuffledStepsWriteEveryPattern() {
    constexpr size_t patterns = std::tuple_size_v<std::remove_cvref_t<decltype(gutmannPatterns())>>;
    for (const ShredMethod& method : kShredMethods)
        for (const ShredStep& step : method.steps)
            if (step.fill == ShredFill::ShuffledPatterns && step.passes != patterns)
                return false;
    return true;
}
static_assert(shuffledStepsWriteEveryPattern(), "a shuffled step writes all 27 fixed patterns");

} // namespace

bool passPlan(int32_t algorithm, std::vector<Pass>& plan) {
    plan.clear();
    const ShredMethod* method = findShredMethod(algorithm);
    if (!method)
        return false;
    for (const ShredStep& step : method->steps) {
        switch (step.fill) {
        case ShredFill::Pattern:
            plan.insert(plan.end(), step.passes,
                        patternPass(step.pattern[0], step.pattern[1], step.pattern[2]));
            break;
        case ShredFill::Random:
            plan.insert(plan.end(), step.passes, randomPass());
            break;
        case ShredFill::ShuffledPatterns:
            if (!shuffledPatterns(plan))
                return false;
            break;
        }
    }
    return true;
}

void StatusCallbackSink::progress(int percent, int64_t bytesLeft, int64_t bytesDone,
                                  double mibPerSecond) {
    if (callback_)
        callback_(context_, deviceNumber_, base_ + percent * span_ / 100, bytesLeft, bytesDone,
                  mibPerSecond);
}

size_t jobBufferBytes(const JobOptions& options) {
    return 3 * options.maxBlock + 3 * passes::kTile; // and the pattern tiles or the expected piece
}

int32_t writeFailureStatus(int error) {
    switch (error) {
    case EIO:
    case ENODEV:
    case ENXIO:
    case ENOMEDIUM:
    case ENOENT:
    case ESHUTDOWN:
        return SHRED_STATUS_FAILED_MEDIA;
    case EROFS:
        return SHRED_STATUS_FAILED_WRITE_PROTECTED;
    default:
        return SHRED_STATUS_FAILED_WRITE;
    }
}

namespace {

// Of a counterfeit: what the read-back found keeping the last pass past the usable part.
std::vector<ByteRange> keptPast(uint64_t usable, uint64_t size,
                                const std::vector<ByteRange>& failed) {
    std::vector<ByteRange> kept;
    uint64_t at = usable;
    for (const ByteRange& range : failed) {
        if (range.offset > at)
            kept.push_back(ByteRange{at, range.offset - at, false});
        at = std::max(at, range.offset + range.length);
    }
    if (at < size)
        kept.push_back(ByteRange{at, size - at, false});
    return kept;
}

// A counterfeit was written over all its claimed size by every pass already. What the
// measurement left past the usable part goes first (on a stick that reuses flash, that
// frees it for the start), then the usable part gets the last pass again and is read back.
int32_t eraseMeasured(BlockDevice& device, const CapacityCheck& check, const Pass& last,
                      ProgressSink& sink, const unsigned char* abortFlag, const JobOptions& options,
                      JobOutcome& outcome) {
    const uint64_t usable = check.usable();
    AlignedBuffer zeros(std::min<uint64_t>(options.maxBlock, 1u << 20));
    if (!zeros)
        return ENGINE_STATUS_NO_RESOURCES;
    std::memset(zeros.data(), 0, zeros.size());
    for (uint64_t at = usable; at < check.measuredUpTo(); at += zeros.size()) {
        if (AbortFlag::raisedAt(abortFlag))
            return SHRED_STATUS_ABORTED;
        const size_t length =
            static_cast<size_t>(std::min<uint64_t>(zeros.size(), check.measuredUpTo() - at));
        // Past the usable part a write may be refused; what is refused keeps nothing.
        if (int rc = device.writeAt(zeros.data(), length, at); rc != 0 && rc != EIO && rc != ENOSPC)
            return writeFailureStatus(rc);
    }
    if (int rc = device.sync())
        return writeFailureStatus(rc);
    // Only random data read back proves it was kept: a dropped block may well read back
    // as a pattern (zeros, most often).
    if (last.kind == PassKind::Random)
        outcome.keptElsewhere = keptPast(usable, device.size(), outcome.failedRanges);
    if (usable == 0)
        return SHRED_STATUS_FAILED_COUNTERFEIT;
    UsablePart part(device, usable);
    JobOutcome again;
    JobOptions plain = options;
    plain.lastPassGuest = nullptr;
    const int32_t status = runPasses(part, {last}, sink, abortFlag, plain, &again);
    outcome.verification = again.verification;
    outcome.verificationStarted = again.verificationStarted;
    outcome.verifiedBytes = again.verifiedBytes;
    outcome.mismatchOffset = again.mismatchOffset;
    outcome.failedRanges = again.failedRanges;
    return status == SHRED_STATUS_SHREDDED ? SHRED_STATUS_FAILED_COUNTERFEIT : status;
}

} // namespace

int32_t runJob(BlockDevice& device, const std::vector<Pass>& plan, ProgressSink& sink,
               const unsigned char* abortFlag, const JobOptions& options, JobOutcome& outcome) {
    outcome = JobOutcome{};
    outcome.claimedBytes = device.size();
    if (plan.empty())
        return ENGINE_STATUS_BAD_REQUEST;
    if (device.readOnly())
        return SHRED_STATUS_FAILED_WRITE_PROTECTED;
    CapacityCheck check(device, abortFlag);
    if (int32_t status = check.prepare())
        return status;
    // Without a read-back nothing would look at the markers.
    JobOptions riding = options;
    riding.lastPassGuest = options.verify ? &check : nullptr;
    const int32_t status = runPasses(device, plan, sink, abortFlag, riding, &outcome);
    const bool placesFailed = !outcome.failedRanges.empty();
    if (!options.verify || (status != SHRED_STATUS_SHREDDED && !placesFailed))
        return status;
    if (int32_t failed = check.judge(outcome.failedRanges)) {
        const int32_t medium = options.mediumCheck ? options.mediumCheck() : 0;
        return medium ? medium : failed;
    }
    outcome.usableBytes = check.usable();
    if (check.verdict() != CapacityCheck::Verdict::Counterfeit)
        return status;
    return eraseMeasured(device, check, plan.back(), sink, abortFlag, options, outcome);
}

} // namespace kestrune::engine
