#include "shredengine/CapacityCheck.h"

#include "base/AbortFlag.h"

#include "shredengine/RandomStream.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <numeric>

namespace kestrune::engine {

namespace {

constexpr size_t kChunk = 32;
constexpr size_t kIoBytes = 1u << 20;
// The spread markers lie sqrt(size * this) apart, and the start read with them is as long:
// that balances the one sequential read against the scattered markers (about 1000 at 64 GB).
constexpr double kSpreadFactor = 65536.0;
// The first sweep over the start of a caught medium covers at least this much.
constexpr uint64_t kFirstSweep = 4u << 20;
constexpr uint64_t kNone = UINT64_MAX;

using Tag = std::array<uint8_t, 16>;

void storeLe(uint8_t* p, uint64_t value) {
    for (int i = 0; i < 8; ++i)
        p[i] = static_cast<uint8_t>(value >> (8 * i));
}

uint64_t loadLe(const uint8_t* p) {
    uint64_t value = 0;
    for (int i = 7; i >= 0; --i)
        value = (value << 8) | p[i];
    return value;
}

uint64_t alignDown(uint64_t value, uint64_t unit) {
    return value - value % unit;
}

uint64_t alignUp(uint64_t value, uint64_t unit) {
    return alignDown(value + unit - 1, unit);
}

// Every 32 bytes: the tag, their own byte offset and its complement.
void fillMarkers(uint8_t* out, size_t length, uint64_t offset, const Tag& tag) {
    for (size_t at = 0; at + kChunk <= length; at += kChunk) {
        std::memcpy(out + at, tag.data(), tag.size());
        storeLe(out + at + 16, offset + at);
        storeLe(out + at + 24, ~(offset + at));
    }
}

// What markers read back showed. A cache can make a lost marker look held, never the
// reverse, so losses and markers in other places are evidence as they are read.
class Evidence {
public:
    void lost(uint64_t at) { firstLost_ = std::min(firstLost_, at); }
    // One place on the medium answers to both offsets: the real capacity divides their
    // distance.
    void moved(uint64_t at, uint64_t from) {
        period_ = std::gcd(period_, at > from ? at - from : from - at);
    }
    void held(uint64_t end) { heldUpTo_ = std::max(heldUpTo_, end); }

    bool caught() const { return firstLost_ != kNone || period_ != 0; }
    uint64_t firstLost() const { return firstLost_; }
    // 0 when no two offsets shared a place.
    uint64_t period() const { return period_; }
    // The end of the last chunk that held its own marker.
    uint64_t heldUpTo() const { return heldUpTo_; }

    // Chunks of [offset, offset + length); where nothing was written this time, only
    // markers of other places count.
    void examine(const uint8_t* data, size_t length, uint64_t offset, const Tag& tag,
                 bool written) {
        for (size_t at = 0; at + kChunk <= length; at += kChunk) {
            const uint8_t* chunk = data + at;
            const uint64_t here = offset + at;
            const uint64_t stored = loadLe(chunk + 16);
            const bool marker =
                std::memcmp(chunk, tag.data(), tag.size()) == 0 && loadLe(chunk + 24) == ~stored;
            if (marker && stored == here)
                held(here + kChunk);
            else if (marker)
                moved(here, stored);
            else if (written)
                lost(here);
        }
    }

private:
    uint64_t firstLost_ = kNone;
    uint64_t period_ = 0;
    uint64_t heldUpTo_ = 0;
};

} // namespace

class CapacityCheck::Run {
public:
    Run(BlockDevice& device, const unsigned char* abortFlag)
        : device_(device), abortFlag_(abortFlag), buffer_(kIoBytes), size_(device.size()),
          usable_(size_) {}

    int32_t begin() {
        block_ = std::max<size_t>(4096, device_.alignment());
        if (size_ < 2 * block_) {
            settled_ = true; // too small to hide anything
            return 0;
        }
        if (!buffer_ || !systemRandom(tag_.data(), tag_.size()))
            return ENGINE_STATUS_NO_RESOURCES;
        layOut();
        Evidence first;
        // Downwards: of the markers that land on one place, the lowest stays there, and
        // its distance to the place is the real capacity itself.
        for (auto it = spread_.rbegin(); it != spread_.rend(); ++it) {
            if (int32_t status = writeMarkers(*it, block_, tag_, &first))
                return status;
        }
        if (int32_t status = settle())
            return status;
        if (int32_t status = readRange(0, head_, tag_, first, false))
            return status;
        if (int32_t status = readSpread(first))
            return status;
        if (first.caught())
            caught(first);
        return 0;
    }

    int32_t firstPassDone() {
        device_.dropCache();
        Evidence second;
        if (int32_t status = readSpread(second))
            return status;
        if (!second.caught()) {
            settled_ = true;
            return 0;
        }
        caught(second);
        return SHRED_STATUS_FAILED_COUNTERFEIT;
    }

    // Sweeps of markers over a growing start of the medium, written downwards so that of
    // the offsets sharing a place the lowest stays there, until a sweep shows where the
    // medium stops keeping them. Only what cannot be a cache's answer decides.
    int32_t measure() {
        uint64_t end = firstSweep();
        for (;;) {
            Tag tag{};
            if (!systemRandom(tag.data(), tag.size()))
                return ENGINE_STATUS_NO_RESOURCES;
            if (int32_t status = sweepDown(end, tag))
                return status;
            Evidence sweep;
            if (int32_t status = readRange(0, end, tag, sweep, true))
                return status;
            if (sweep.period() != 0) {
                // Past the last marker that held, every place answers for a lower offset.
                // Once that stretch is longer than a period, it holds two neighbouring
                // multiples of the real capacity, and their common divisor is that capacity.
                if (end - sweep.heldUpTo() > sweep.period() + block_ || end == size_)
                    return found(sweep.period());
                end = grow(end, sweep.heldUpTo() + sweep.period() + 2 * block_);
            } else if (sweep.firstLost() != kNone) {
                return confirmLoss(sweep.firstLost(), tag);
            } else if (end == size_) {
                // The whole medium held this time: what caught it did not last.
                caught_ = false;
                settled_ = true;
                usable_ = size_;
                return 0;
            } else {
                end = grow(end, 2 * end);
            }
        }
    }

    const std::vector<uint64_t>& spread() const { return spread_; }
    size_t block() const { return block_; }
    bool isCaught() const { return caught_; }
    bool settled() const { return settled_; }
    uint64_t usable() const { return usable_; }

private:
    void layOut() {
        const uint64_t last = alignDown(size_ - block_, block_);
        const auto spacing =
            static_cast<uint64_t>(std::ceil(std::sqrt(static_cast<double>(size_) * kSpreadFactor)));
        const uint64_t gap = std::max<uint64_t>(alignUp(spacing, block_), block_);
        // A marker that lands on the start from anywhere up to the end lands less than
        // gap + one block from it, so that much of the start is read with the markers.
        head_ = std::min(gap + block_, last);
        for (uint64_t at = std::max<uint64_t>(2 * gap, head_); at < last; at += gap)
            spread_.push_back(at);
        spread_.push_back(last);
    }

    void caught(const Evidence& evidence) {
        caught_ = true;
        evidence_ = evidence;
    }

    // The end of the first sweep: past where the medium was seen to stop, or two periods.
    uint64_t firstSweep() const {
        uint64_t end = kFirstSweep;
        if (evidence_.period() != 0)
            end = std::max(end, 2 * evidence_.period() + 2 * block_);
        else if (evidence_.firstLost() != kNone)
            end = std::max(end, evidence_.firstLost() + block_);
        return std::min(size_, alignUp(end, kIoBytes));
    }

    uint64_t grow(uint64_t end, uint64_t wanted) const {
        return std::min(size_, alignUp(std::max(wanted, end + kIoBytes), kIoBytes));
    }

    int32_t found(uint64_t usable) {
        usable_ = alignDown(std::min(usable, size_), device_.alignment());
        settled_ = true;
        return 0;
    }

    // The sweep was written downwards, so a cache keeps its lowest part: no more than
    // lostFrom and one piece, or lostFrom would not have been seen lost. Once more than that
    // is written past lostFrom, where nothing is kept, the start reads from the medium.
    int32_t confirmLoss(uint64_t lostFrom, const Tag& tag) {
        if (lostFrom == 0)
            return found(0);
        Tag flush{};
        if (!systemRandom(flush.data(), flush.size()))
            return ENGINE_STATUS_NO_RESOURCES;
        const uint64_t from = alignUp(lostFrom, block_);
        const uint64_t to = std::min(size_, from + lostFrom + lostFrom / 4 + 2 * kIoBytes);
        for (uint64_t at = from; at < to; at += kIoBytes) {
            if (int32_t status = writeMarkers(at, std::min<uint64_t>(kIoBytes, to - at), flush))
                return status;
        }
        if (int32_t status = settle())
            return status;
        Evidence again;
        if (int32_t status = readRange(0, lostFrom, tag, again, true))
            return status;
        return found(std::min(lostFrom, again.firstLost()));
    }

    int32_t sweepDown(uint64_t end, const Tag& tag) {
        for (uint64_t at = alignDown(end - 1, kIoBytes);; at -= kIoBytes) {
            if (int32_t status = writeMarkers(at, std::min<uint64_t>(kIoBytes, end - at), tag))
                return status;
            if (at == 0)
                break;
        }
        return settle();
    }

    int32_t settle() {
        if (int rc = device_.sync())
            return writeFailureStatus(rc);
        device_.dropCache();
        return 0;
    }

    // A place that refuses a marker has lost it, unless the medium is gone or refuses
    // everything.
    int32_t writeMarkers(uint64_t offset, size_t length, const Tag& tag,
                         Evidence* evidence = nullptr) {
        if (AbortFlag::raisedAt(abortFlag_))
            return SHRED_STATUS_ABORTED;
        fillMarkers(buffer_.data(), length, offset, tag);
        const int rc = device_.writeAt(buffer_.data(), length, offset);
        if (rc == 0)
            return 0;
        if (offset == 0 || (rc != EIO && rc != ENOSPC))
            return writeFailureStatus(rc);
        if (evidence)
            evidence->lost(offset);
        return 0;
    }

    int32_t readBack(uint64_t offset, size_t length, uint64_t examined, const Tag& tag,
                     Evidence& evidence, bool written) {
        if (AbortFlag::raisedAt(abortFlag_))
            return SHRED_STATUS_ABORTED;
        if (int rc = device_.readAt(buffer_.data(), length, offset)) {
            if (offset == 0 || rc == ENODEV || rc == ENXIO || rc == ENOMEDIUM)
                return SHRED_STATUS_FAILED_MEDIA;
            if (written)
                evidence.lost(offset);
            return 0;
        }
        evidence.examine(buffer_.data(), static_cast<size_t>(examined), offset, tag, written);
        return 0;
    }

    int32_t readRange(uint64_t begin, uint64_t end, const Tag& tag, Evidence& evidence,
                      bool written) {
        const uint64_t readEnd = std::min(size_, alignUp(end, block_));
        for (uint64_t at = begin; at < end; at += kIoBytes) {
            const uint64_t length = std::min<uint64_t>(kIoBytes, readEnd - at);
            const uint64_t examined = std::min(length, end - at);
            if (int32_t status =
                    readBack(at, static_cast<size_t>(length), examined, tag, evidence, written))
                return status;
        }
        return 0;
    }

    int32_t readSpread(Evidence& evidence) {
        for (uint64_t at : spread_) {
            if (int32_t status = readBack(at, block_, block_, tag_, evidence, true))
                return status;
        }
        return 0;
    }

    BlockDevice& device_;
    const unsigned char* abortFlag_;
    AlignedBuffer buffer_;
    const uint64_t size_;
    size_t block_ = 4096;
    Tag tag_{};
    uint64_t head_ = 0;
    std::vector<uint64_t> spread_;
    Evidence evidence_; // what caught the medium
    bool caught_ = false;
    bool settled_ = false;
    uint64_t usable_;
};

CapacityCheck::CapacityCheck(BlockDevice& device, const unsigned char* abortFlag)
    : run_(std::make_unique<Run>(device, abortFlag)) {}

CapacityCheck::~CapacityCheck() = default;

int32_t CapacityCheck::begin() {
    return run_->begin();
}

const std::vector<uint64_t>& CapacityCheck::reservedBlocks() const {
    return run_->spread();
}

size_t CapacityCheck::reservedLength() const {
    return run_->block();
}

int32_t CapacityCheck::firstPassDone() {
    return run_->firstPassDone();
}

int32_t CapacityCheck::measure() {
    return run_->measure();
}

bool CapacityCheck::counterfeit() const {
    return run_->isCaught();
}

bool CapacityCheck::settled() const {
    return run_->settled();
}

uint64_t CapacityCheck::usable() const {
    return run_->usable();
}

int UsablePart::writeAt(const void* data, size_t length, uint64_t offset) {
    if (offset > length_ || length > length_ - offset)
        return ENOSPC;
    return device_.writeAt(data, length, offset);
}

int UsablePart::readAt(void* data, size_t length, uint64_t offset) {
    if (offset > length_ || length > length_ - offset)
        return EIO;
    return device_.readAt(data, length, offset);
}

} // namespace kestrune::engine
