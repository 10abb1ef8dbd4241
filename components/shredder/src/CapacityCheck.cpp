#include "shredengine/CapacityCheck.h"

#include "shredengine/RandomStream.h"
#include "shredengine/ShredJob.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <numeric>
#include <vector>

namespace kestrune::engine {

namespace {

constexpr size_t kChunk = 32;
constexpr size_t kIoBytes = 1u << 20;
// The spread markers lie sqrt(size * this) apart, and the head is as long: that balances
// the head's sequential writes against the scattered ones (about 1000 each at 64 GB).
constexpr double kSpreadFactor = 65536.0;

using Tag = std::array<uint8_t, 16>;

bool abortRequested(const unsigned char* flag) {
    return flag && __atomic_load_n(flag, __ATOMIC_ACQUIRE) != 0;
}

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

// Every 32 bytes: the tag, their own byte offset and its complement.
void fillMarkers(uint8_t* out, size_t length, uint64_t offset, const Tag& tag) {
    for (size_t at = 0; at + kChunk <= length; at += kChunk) {
        std::memcpy(out + at, tag.data(), tag.size());
        storeLe(out + at + 16, offset + at);
        storeLe(out + at + 24, ~(offset + at));
    }
}

// What the read-back says about the real capacity.
class Evidence {
public:
    // Returns the offset of the first chunk that lost its marker, or offset + length.
    uint64_t examine(const uint8_t* data, size_t length, uint64_t offset, const Tag& tag) {
        uint64_t firstLost = offset + length;
        for (size_t at = 0; at + kChunk <= length; at += kChunk) {
            const uint8_t* chunk = data + at;
            const uint64_t here = offset + at;
            const uint64_t stored = loadLe(chunk + 16);
            if (std::memcmp(chunk, tag.data(), tag.size()) == 0 && loadLe(chunk + 24) == ~stored) {
                if (stored != here) {
                    // One place on the medium answers to both offsets: the real capacity
                    // divides their distance.
                    period_ = std::gcd(period_, stored > here ? stored - here : here - stored);
                }
                continue;
            }
            firstLost = std::min(firstLost, here);
            lost(here);
        }
        return firstLost;
    }
    void lost(uint64_t offset) { firstLost_ = std::min(firstLost_, offset); }
    uint64_t firstLost() const { return firstLost_; }
    // 0 when no two offsets shared a place.
    uint64_t period() const { return period_; }

private:
    uint64_t firstLost_ = UINT64_MAX;
    uint64_t period_ = 0;
};

class Checker {
public:
    Checker(BlockDevice& device, const unsigned char* abortFlag)
        : device_(device), abortFlag_(abortFlag), buffer_(kIoBytes) {}

    CapacityCheck run() {
        CapacityCheck result;
        const uint64_t size = device_.size();
        result.usable = size;
        block_ = std::max<size_t>(4096, device_.alignment());
        if (size < 2 * block_)
            return result;
        if (!buffer_ || !systemRandom(tag_.data(), tag_.size())) {
            result.status = ENGINE_STATUS_NO_RESOURCES;
            return result;
        }
        const uint64_t last = alignDown(size - block_, block_);
        const auto spacing =
            static_cast<uint64_t>(std::ceil(std::sqrt(static_cast<double>(size) * kSpreadFactor)));
        const uint64_t gap = std::max<uint64_t>(alignDown(spacing + block_ - 1, block_), block_);
        // A marker that wraps from anywhere up to the end lands less than gap + one block
        // from the start, so the head covers that much.
        head_ = std::min(gap + block_, last + block_);
        for (uint64_t at = 2 * gap; at < last; at += gap)
            spread_.push_back(at);
        if (last >= head_)
            spread_.push_back(last);

        if (int32_t status = writeAll())
            return fail(result, status);
        if (int rc = device_.sync())
            return fail(result, writeFailureStatus(rc));
        device_.dropCache();
        if (int32_t status = readAll())
            return fail(result, status);

        uint64_t usable = size;
        if (evidence_.period() != 0)
            usable = std::min(usable, evidence_.period());
        if (evidence_.firstLost() < usable) {
            uint64_t lostFrom = evidence_.firstLost();
            if (int32_t status = narrowLoss(lostFrom))
                return fail(result, status);
            usable = std::min(usable, lostFrom);
        }
        if (usable == size)
            return result;
        usable = alignDown(usable, device_.alignment());
        if (usable == 0)
            return fail(result, SHRED_STATUS_FAILED_MEDIA);
        result.usable = usable;
        result.counterfeit = true;
        return result;
    }

private:
    static CapacityCheck fail(CapacityCheck result, int32_t status) {
        result.status = status;
        return result;
    }

    // A place that refuses a marker counts as one that lost it, unless the medium is gone
    // or refuses everything.
    int32_t refused(int error, uint64_t offset) {
        if (offset == 0 || (error != EIO && error != ENOSPC))
            return writeFailureStatus(error);
        evidence_.lost(offset);
        return 0;
    }

    int32_t writeMarkers(uint64_t offset, size_t length) {
        if (abortRequested(abortFlag_))
            return SHRED_STATUS_ABORTED;
        fillMarkers(buffer_.data(), length, offset, tag_);
        if (int rc = device_.writeAt(buffer_.data(), length, offset))
            return refused(rc, offset);
        return 0;
    }

    int32_t writeAll() {
        for (uint64_t at = 0; at < head_; at += kIoBytes) {
            if (int32_t status = writeMarkers(at, std::min<uint64_t>(kIoBytes, head_ - at)))
                return status;
        }
        // Downwards: of the markers that wrap onto one place, the lowest stays there, and
        // its distance to its place is the real capacity itself.
        for (auto it = spread_.rbegin(); it != spread_.rend(); ++it) {
            if (int32_t status = writeMarkers(*it, block_))
                return status;
        }
        return 0;
    }

    // Reads [offset, offset + length) and examines it; the first offset that lost its
    // marker, or offset + length.
    int32_t readBack(uint64_t offset, size_t length, uint64_t& firstLost) {
        if (abortRequested(abortFlag_))
            return SHRED_STATUS_ABORTED;
        if (int rc = device_.readAt(buffer_.data(), length, offset)) {
            if (offset == 0 || rc == ENODEV || rc == ENXIO || rc == ENOMEDIUM)
                return SHRED_STATUS_FAILED_MEDIA;
            evidence_.lost(offset);
            firstLost = offset;
            return 0;
        }
        firstLost = evidence_.examine(buffer_.data(), length, offset, tag_);
        return 0;
    }

    int32_t readAll() {
        uint64_t firstLost = 0;
        for (uint64_t at = 0; at < head_; at += kIoBytes) {
            if (int32_t status = readBack(at, std::min<uint64_t>(kIoBytes, head_ - at), firstLost))
                return status;
        }
        for (uint64_t at : spread_) {
            if (int32_t status = readBack(at, block_, firstLost))
                return status;
            if (firstLost == at + block_)
                intact_.push_back(at);
        }
        return 0;
    }

    // Where exactly, between the last marker that held and the first that did not, the
    // medium stops keeping what it is given: halves the gap with fresh markers.
    int32_t narrowLoss(uint64_t& lostFrom) {
        if (lostFrom % block_ != 0 || lostFrom < head_)
            return 0; // the loss began inside a block that held its first chunks: exact
        uint64_t holds = head_;
        for (uint64_t at : intact_) {
            if (at < lostFrom)
                holds = std::max(holds, at + block_);
        }
        while (holds < lostFrom) {
            const uint64_t probe = holds + alignDown((lostFrom - holds) / 2, block_);
            if (int32_t status = writeMarkers(probe, block_))
                return status;
            if (int rc = device_.sync())
                return writeFailureStatus(rc);
            device_.dropCache();
            uint64_t firstLost = 0;
            if (int32_t status = readBack(probe, block_, firstLost))
                return status;
            if (firstLost == probe + block_) {
                holds = probe + block_;
            } else {
                lostFrom = firstLost;
                if (firstLost != probe)
                    break; // lost from inside the probe: exact
            }
        }
        return 0;
    }

    BlockDevice& device_;
    const unsigned char* abortFlag_;
    AlignedBuffer buffer_;
    Tag tag_{};
    size_t block_ = 4096;
    uint64_t head_ = 0;
    std::vector<uint64_t> spread_;
    std::vector<uint64_t> intact_;
    Evidence evidence_;
};

} // namespace

CapacityCheck checkCapacity(BlockDevice& device, const unsigned char* abortFlag) {
    return Checker(device, abortFlag).run();
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
