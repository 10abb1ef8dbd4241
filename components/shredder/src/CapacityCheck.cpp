#include "shredengine/CapacityCheck.h"

#include "base/AbortFlag.h"

#include "shredengine/RandomStream.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace kestrune::engine {

namespace {

constexpr size_t kChunk = 32;
constexpr size_t kIoBytes = 1u << 20;
// Each marker costs a stick two scattered requests at the end (its block gets the last pass
// and is read again), which cheap sticks pay for with tens of milliseconds: one marker per
// 64 MiB keeps that within a percent of the job on the smallest sticks, and 32 catch a fake
// that loses a few percent anywhere on the larger ones.
constexpr size_t kMinMarkers = 8;
constexpr size_t kMaxMarkers = 32;
constexpr uint64_t kBytesPerMarker = 64u << 20;
// More or larger than this is no longer a few bad blocks.
constexpr size_t kMaxBadPlaces = 8;
constexpr uint64_t kMaxBadPlace = 1u << 20;
constexpr uint64_t kMaxBadRun = 64u << 10; // inside a measurement, to the sector
constexpr uint64_t kFirstStep = 8u << 20;
// Written past each part before it is read: more than the caches and logs of sticks keep.
constexpr uint64_t kMinFlush = 4u << 20;
constexpr uint64_t kMaxFlush = 160u << 20;
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

// The offset a marker chunk names, or kNone when the chunk is no marker of the tag.
uint64_t markedOffset(const uint8_t* chunk, const Tag& tag) {
    if (std::memcmp(chunk, tag.data(), tag.size()) != 0)
        return kNone;
    const uint64_t stored = loadLe(chunk + 16);
    return loadLe(chunk + 24) == ~stored ? stored : kNone;
}

} // namespace

class CapacityCheck::Run {
public:
    Run(BlockDevice& device, const unsigned char* abortFlag)
        : device_(device), abortFlag_(abortFlag), size_(device.size()), usable_(size_) {}

    int32_t prepare() {
        block_ = std::max<size_t>(4096, device_.alignment());
        unit_ = std::max<size_t>(512, device_.alignment());
        if (size_ < 2 * block_)
            return 0; // too small to hide anything
        uint64_t jitter = 0;
        if (!systemRandom(tag_.data(), tag_.size()) || !systemRandom(&jitter, sizeof jitter))
            return ENGINE_STATUS_NO_RESOURCES;
        const uint64_t last = alignDown(size_ - block_, block_);
        places_.push_back(0);
        // Off their regular places by a distance of this job's, so that no controller can
        // know them beforehand.
        const size_t markers = static_cast<size_t>(
            std::clamp<uint64_t>(size_ / kBytesPerMarker, kMinMarkers, kMaxMarkers));
        const uint64_t gap = alignDown(last / (markers - 1), block_);
        for (size_t i = 1; gap >= 2 * block_ && i + 1 < markers; ++i) {
            jitter = jitter * 6364136223846793005ull + 1442695040888963407ull;
            places_.push_back(i * gap + alignDown((jitter >> 16) % (gap - block_), block_));
        }
        if (last > places_.back())
            places_.push_back(last);
        return 0;
    }

    void fill(uint8_t* out, uint64_t offset) const { fillMarkers(out, block_, offset, tag_); }

    int32_t judge(const std::vector<ByteRange>& failed) {
        if (failed.empty()) {
            verdict_ = Verdict::Whole;
            return 0;
        }
        bool fewAndSmall = failed.size() <= kMaxBadPlaces && !places_.empty();
        size_t markersLost = 0;
        for (const ByteRange& range : failed) {
            const bool atAnEnd = range.offset <= places_.front() + block_ - 1 ||
                                 range.offset + range.length > places_.back();
            fewAndSmall = fewAndSmall && range.length <= kMaxBadPlace && !atAnEnd;
            markersLost += static_cast<size_t>(
                std::count_if(places_.begin(), places_.end(), [&](uint64_t place) {
                    return place < range.offset + range.length && range.offset < place + block_;
                }));
        }
        // A bad block under a marker is rare; under two, a medium that does not keep what
        // it is given is the likelier: the measurement tells.
        fewAndSmall = fewAndSmall && markersLost <= 1;
        if (fewAndSmall) {
            // A bad block answers with nothing or with other bytes, never with a marker of
            // this job that belongs somewhere else.
            bool moved = false;
            for (const ByteRange& range : failed) {
                if (int32_t status = markersElsewhere(range, moved))
                    return status;
            }
            if (!moved) {
                verdict_ = Verdict::BadBlocks;
                return 0;
            }
        }
        return measure();
    }

    const std::vector<uint64_t>& places() const { return places_; }
    size_t block() const { return block_; }
    Verdict verdict() const { return verdict_; }
    uint64_t usable() const { return usable_; }
    uint64_t measuredUpTo() const { return measuredUpTo_; }

private:
    struct Step {
        uint64_t begin, end;
        size_t tag;
    };

    int32_t markersElsewhere(const ByteRange& range, bool& moved) {
        if (range.unreadable)
            return 0;
        for (uint64_t at = range.offset; at < range.offset + range.length; at += kIoBytes) {
            const size_t length =
                static_cast<size_t>(std::min<uint64_t>(kIoBytes, range.offset + range.length - at));
            if (int32_t status = readPart(at, length))
                return status;
            for (size_t c = 0; c + kChunk <= length; c += kChunk) {
                const uint64_t named = markedOffset(buffer_.data() + c, tag_);
                moved = moved || (named != kNone && named != at + c);
            }
        }
        return 0;
    }

    int32_t readPart(uint64_t offset, size_t length) {
        if (AbortFlag::raisedAt(abortFlag_))
            return SHRED_STATUS_ABORTED;
        if (!buffer_ && !buffer_.allocate(kIoBytes))
            return ENGINE_STATUS_NO_RESOURCES;
        const int rc = device_.readAt(buffer_.data(), length, offset);
        return rc == 0 ? 0 : SHRED_STATUS_FAILED_MEDIA;
    }

    int32_t writeMarkers(uint64_t begin, uint64_t end, const Tag& tag) {
        for (uint64_t at = begin; at < end; at += kIoBytes) {
            if (AbortFlag::raisedAt(abortFlag_))
                return SHRED_STATUS_ABORTED;
            const size_t length = static_cast<size_t>(std::min<uint64_t>(kIoBytes, end - at));
            fillMarkers(buffer_.data(), length, at, tag);
            if (int rc = device_.writeAt(buffer_.data(), length, at))
                return writeFailureStatus(rc);
        }
        return 0;
    }

    const Tag& expectedAt(uint64_t offset) const {
        for (auto it = steps_.rbegin(); it != steps_.rend(); ++it) {
            if (offset >= it->begin && offset < it->end)
                return tags_[it->tag];
        }
        return tags_.front();
    }

    // The offset another marker of the measurement in this unit names, or kNone.
    uint64_t foreignMarker(const uint8_t* unit, uint64_t offset) const {
        for (const Tag& tag : tags_) {
            const uint64_t named = markedOffset(unit, tag);
            if (named != kNone && alignDown(named, unit_) != offset)
                return alignDown(named, unit_);
        }
        return kNone;
    }

    // What one part of the start holds, a unit at a time.
    struct Scan {
        uint64_t bound = kNone;    // no start longer than this keeps what it was given
        uint64_t runBegin = kNone; // a run of units that did not keep their markers
        bool runUnreadable = true;
        uint64_t heldFrom = kNone; // kept since, after the run
    };

    int32_t endRun(Scan& scan, uint64_t at, bool heldAfter) {
        if (scan.runBegin == kNone)
            return 0;
        const uint64_t begin = scan.runBegin;
        scan.runBegin = kNone;
        scan.heldFrom = kNone;
        if (heldAfter && at - begin <= kMaxBadRun && bad_ < kMaxBadPlaces) {
            ++bad_; // the medium around it keeps what it was given: a bad place
            return 0;
        }
        if (scan.runUnreadable)
            return SHRED_STATUS_FAILED_MEDIA; // a counterfeit answers; this medium does not
        // No start that reaches it keeps what it was given, also where an earlier part
        // kept it: then it was kept only for a while, in a cache larger than what was
        // written past it (or in flash that later writes took).
        scan.bound = std::min(scan.bound, begin);
        return 0;
    }

    int32_t examine(uint64_t from, uint64_t end, Scan& scan) {
        for (uint64_t at = from; at < end; at += kIoBytes) {
            const size_t length = static_cast<size_t>(std::min<uint64_t>(kIoBytes, end - at));
            if (AbortFlag::raisedAt(abortFlag_))
                return SHRED_STATUS_ABORTED;
            const int rc = device_.readAt(buffer_.data(), length, at);
            if (rc != 0 && rc != EIO)
                return SHRED_STATUS_FAILED_MEDIA;
            for (size_t u = 0; u < length; u += unit_) {
                const uint64_t offset = at + u;
                uint8_t* unit = buffer_.data() + u;
                // An unreadable part is read again a unit at a time, to find its bad units.
                const bool unreadable = rc != 0 && device_.readAt(unit, unit_, offset) != 0;
                bool own = !unreadable;
                const Tag& tag = expectedAt(offset);
                for (size_t c = 0; own && c + kChunk <= unit_; c += kChunk)
                    own = markedOffset(unit + c, tag) == offset + c;
                if (own) {
                    // A few blocks kept inside a lost stretch may be a cache's protected
                    // part (it holds what was read): the medium keeps what it was given
                    // around a bad place only where a whole stretch after it does.
                    if (scan.runBegin != kNone && scan.heldFrom == kNone)
                        scan.heldFrom = offset;
                    if (scan.heldFrom != kNone && offset + unit_ - scan.heldFrom >= kMaxBadRun) {
                        if (int32_t status = endRun(scan, scan.heldFrom, true))
                            return status;
                    }
                    continue;
                }
                scan.heldFrom = kNone;
                const uint64_t other = unreadable ? kNone : foreignMarker(unit, offset);
                if (other != kNone) {
                    // One place answers for both: the later of the two is past the start
                    // that can keep them apart.
                    scan.bound = std::min(scan.bound, std::max(offset, other));
                    continue;
                }
                if (scan.runBegin == kNone) {
                    scan.runBegin = offset;
                    scan.runUnreadable = true;
                }
                scan.runUnreadable = scan.runUnreadable && unreadable;
            }
        }
        // At the very end nothing can follow: a small run there is told as a bad place.
        const bool held = scan.heldFrom != kNone;
        return endRun(scan, held ? scan.heldFrom : end, held || end == size_);
    }

    int32_t measure() {
        if (!buffer_ && !buffer_.allocate(kIoBytes))
            return ENGINE_STATUS_NO_RESOURCES;
        const uint64_t flush =
            std::min(std::clamp(alignUp(size_ / 8, kIoBytes), kMinFlush, kMaxFlush),
                     alignDown(size_ / 4, unit_));
        uint64_t written = 0;
        uint64_t verified = 0;
        for (;;) {
            Tag tag{};
            if (!systemRandom(tag.data(), tag.size()))
                return ENGINE_STATUS_NO_RESOURCES;
            tags_.push_back(tag);
            uint64_t end = written == 0 ? std::max(kFirstStep, 2 * flush) : 2 * written;
            end = std::min(size_, alignUp(end, unit_));
            if (size_ - end < flush)
                end = size_;
            if (int32_t status = writeMarkers(written, end, tag))
                return status;
            steps_.push_back(Step{written, end, tags_.size() - 1});
            measuredUpTo_ = end;
            if (int rc = device_.sync())
                return writeFailureStatus(rc);
            device_.dropCache();
            Scan scan;
            bad_ = 0;
            if (int32_t status = examine(0, end - flush, scan))
                return status;
            if (end == size_) {
                // Nothing lies past the last part to push it out of a cache: the start,
                // read already, is written again instead. Only after the rest was read: a
                // rewritten start would hide what wrapped onto it.
                const uint64_t again = std::min(flush, verified);
                if (int32_t status = writeMarkers(0, again, tag))
                    return status;
                steps_.push_back(Step{0, again, tags_.size() - 1});
                if (int rc = device_.sync())
                    return writeFailureStatus(rc);
                device_.dropCache();
                if (int32_t status = examine(end - flush, end, scan))
                    return status;
            }
            const uint64_t readEnd = end == size_ ? size_ : end - flush;
            if (scan.bound != kNone || readEnd == size_) {
                usable_ = alignDown(std::min(scan.bound, size_), unit_);
                verdict_ = usable_ < size_ ? Verdict::Counterfeit : Verdict::BadBlocks;
                return 0;
            }
            written = end;
            verified = readEnd;
        }
    }

    // Allocated only when the check reads or measures.
    class Buffer {
    public:
        bool allocate(size_t size) {
            buffer_ = std::make_unique<AlignedBuffer>(size);
            return static_cast<bool>(*buffer_);
        }
        explicit operator bool() const { return buffer_ && *buffer_; }
        uint8_t* data() const { return buffer_->data(); }

    private:
        std::unique_ptr<AlignedBuffer> buffer_;
    };

    BlockDevice& device_;
    const unsigned char* abortFlag_;
    Buffer buffer_;
    const uint64_t size_;
    size_t block_ = 4096;
    size_t unit_ = 512;
    Tag tag_{};
    std::vector<uint64_t> places_;
    std::vector<Tag> tags_;
    std::vector<Step> steps_;
    size_t bad_ = 0;
    Verdict verdict_ = Verdict::Whole;
    uint64_t usable_;
    uint64_t measuredUpTo_ = 0;
};

CapacityCheck::CapacityCheck(BlockDevice& device, const unsigned char* abortFlag)
    : run_(std::make_unique<Run>(device, abortFlag)) {}

CapacityCheck::~CapacityCheck() = default;

int32_t CapacityCheck::prepare() {
    return run_->prepare();
}

const std::vector<uint64_t>& CapacityCheck::reservedBlocks() const {
    return run_->places();
}

size_t CapacityCheck::reservedLength() const {
    return run_->block();
}

void CapacityCheck::fill(uint8_t* out, uint64_t offset) const {
    run_->fill(out, offset);
}

int32_t CapacityCheck::judge(const std::vector<ByteRange>& failed) {
    return run_->judge(failed);
}

CapacityCheck::Verdict CapacityCheck::verdict() const {
    return run_->verdict();
}

uint64_t CapacityCheck::usable() const {
    return run_->usable();
}

uint64_t CapacityCheck::measuredUpTo() const {
    return run_->measuredUpTo();
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
