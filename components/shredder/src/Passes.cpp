#include "PassTools.h"

#include "base/AbortFlag.h"
#include "shredengine/RandomStream.h"
#include "shredengine/ShredJob.h"

#include <algorithm>
#include <cerrno>
#include <memory>
#include <vector>

namespace kestrune::engine {

using namespace passes;

namespace {

// A fixed pattern needs no preparation, so it is written from the job's thread.
template <typename Written, typename WriteFailed>
int32_t writePattern(BlockDevice& device, const Pass& pass, PatternBuffer& patterns,
                     BlockSizer& sizer, const unsigned char* abortFlag, Written& written,
                     WriteFailed& writeFailed) {
    const uint64_t size = device.size();
    for (uint64_t offset = 0; offset < size;) {
        if (AbortFlag::raisedAt(abortFlag))
            return SHRED_STATUS_ABORTED;
        size_t length = static_cast<size_t>(std::min<uint64_t>(sizer.current(), size - offset));
        const uint8_t* data = patterns.at(pass, offset);
        auto started = Clock::now();
        if (int rc = device.writeAt(data, length, offset))
            return writeFailed(rc);
        if (int32_t status = written(offset, length, Clock::now() - started))
            return status;
        offset += length;
    }
    return 0;
}

// A failing medium may take seconds for each read it cannot do: a block that failed as a
// whole is read again in halves, and a failing half is halved again while its other half
// reads, within this many reads. Where both halves fail, the damage spans them.
constexpr int kReadsToNarrow = 32;

void markUnreadable(std::vector<ByteRange>& unreadable, uint64_t offset, uint64_t length) {
    if (!unreadable.empty() && unreadable.back().offset + unreadable.back().length == offset)
        unreadable.back().length += length;
    else
        unreadable.push_back(ByteRange{offset, length, true});
}

void readHalves(BlockDevice& device, uint8_t* data, uint64_t offset, size_t length, size_t unit,
                int& budget, std::vector<ByteRange>& unreadable) {
    if (length <= unit || budget < 2) {
        markUnreadable(unreadable, offset, length);
        return;
    }
    const size_t first = (length / 2 + unit - 1) / unit * unit;
    const size_t sizes[2] = {first, length - first};
    const uint64_t starts[2] = {offset, offset + first};
    bool failed[2];
    for (int i = 0; i < 2; ++i) {
        --budget;
        failed[i] = device.readAt(data + (starts[i] - offset), sizes[i], starts[i]) != 0;
    }
    for (int i = 0; i < 2; ++i) {
        if (failed[i] && !failed[1 - i])
            readHalves(device, data + (starts[i] - offset), starts[i], sizes[i], unit, budget,
                       unreadable);
        else if (failed[i])
            markUnreadable(unreadable, starts[i], sizes[i]);
    }
}

// Reads a block; where it fails as a whole, what can be read of it, noting the rest.
int readAround(BlockDevice& device, uint8_t* data, size_t length, uint64_t offset, size_t unit,
               std::vector<ByteRange>& unreadable) {
    unreadable.clear();
    const int rc = device.readAt(data, length, offset);
    if (rc == EIO) {
        int budget = kReadsToNarrow;
        readHalves(device, data, offset, length, unit, budget, unreadable);
    }
    return rc;
}

bool inRanges(const std::vector<ByteRange>& ranges, uint64_t offset) {
    return std::any_of(ranges.begin(), ranges.end(), [offset](const ByteRange& range) {
        return offset >= range.offset && offset - range.offset < range.length;
    });
}

// One run of the passes, in its phases: the checks and buffers before anything is written,
// each pass over the medium, then the read back of the last one.
class PassRun {
public:
    PassRun(BlockDevice& device, const std::vector<Pass>& plan, ProgressSink& sink,
            const unsigned char* abortFlag, const JobOptions& options, JobOutcome* outcome)
        : device_(device), plan_(plan), abortFlag_(abortFlag), options_(options), outcome_(outcome),
          size_(device.size()), work_(options.maxBlock), transfer_{AlignedBuffer(options.maxBlock),
                                                                   AlignedBuffer(options.maxBlock)},
          patterns_(work_), lastPass_(device, options.lastPassGuest, options.maxBlock),
          progress_(sink, size_ * (plan.size() + (options.verify ? 1 : 0)), options.reportInterval),
          sizer_(options), observer_(options.observer) {}

    int32_t run() {
        // Two buffers take turns with the device while the third is generated or compared.
        if (!work_ || !transfer_[0] || !transfer_[1] || !lastPass_)
            return ENGINE_STATUS_NO_RESOURCES;
        progress_.start();
        for (size_t index = 0; index < plan_.size(); ++index)
            if (int32_t status = writePass(index))
                return status;
        if (options_.verify)
            if (int32_t status = verify())
                return status;
        if (int32_t status = giveGuestBlocksThePass())
            return status;
        progress_.finish();
        if (failed_.empty())
            return SHRED_STATUS_SHREDDED;
        std::sort(failed_.begin(), failed_.end(),
                  [](const ByteRange& a, const ByteRange& b) { return a.offset < b.offset; });
        const bool allUnreadable = std::all_of(failed_.begin(), failed_.end(),
                                               [](const ByteRange& r) { return r.unreadable; });
        if (outcome_) {
            outcome_->verification = JobOutcome::Verification::Failed;
            outcome_->mismatchOffset = failed_.front().offset;
            outcome_->failedRanges = failed_;
        }
        return allUnreadable ? SHRED_STATUS_FAILED_MEDIA : SHRED_STATUS_FAILED_VERIFY;
    }

private:
    // What became of the medium explains a failed transfer better than its errno.
    int32_t mediumStatus() const { return options_.mediumCheck ? options_.mediumCheck() : 0; }
    int32_t writeFailed(int error) const {
        if (int32_t status = mediumStatus())
            return status;
        return writeFailureStatus(error);
    }

    // Reports at most a few times a second; a buffered device is synced first so the
    // speed is what reached the medium, not the page cache.
    int32_t tick() {
        if (!progress_.due())
            return 0;
        if (!device_.direct()) {
            if (int rc = device_.sync())
                return writeFailed(rc);
        }
        progress_.report();
        return 0;
    }

    int32_t written(uint64_t offset, size_t length, Clock::duration took) {
        sizer_.observe(took, length);
        if (observer_)
            observer_->blockWritten(offset, length);
        progress_.add(length);
        return tick();
    }

    int32_t writePass(size_t index) {
        const Pass& pass = plan_[index];
        const bool last = index + 1 == plan_.size();
        BlockDevice& target = last ? static_cast<BlockDevice&>(lastPass_) : device_;
        if (observer_)
            observer_->passStarted(index, pass);
        auto onWritten = [this](uint64_t offset, size_t length, Clock::duration took) {
            return written(offset, length, took);
        };
        auto onFailure = [this](int error) { return writeFailed(error); };
        if (pass.kind == PassKind::Random) {
            if (!random_.rekey())
                return ENGINE_STATUS_NO_RESOURCES;
            if (int32_t status = writeRandom(target))
                return status;
        } else if (int32_t status = writePattern(target, pass, patterns_, sizer_, abortFlag_,
                                                 onWritten, onFailure)) {
            return status;
        }
        if (int rc = device_.sync())
            return writeFailed(rc);
        if (int32_t status = mediumStatus())
            return status;
        if (outcome_)
            outcome_->passesDone = static_cast<uint32_t>(index + 1);
        if (observer_)
            observer_->passFinished(index, pass);
        return 0;
    }

    // Each block is generated while the one before it is being written.
    int32_t writeRandom(BlockDevice& target) {
        struct Pending {
            uint64_t offset;
            size_t length;
        };
        std::deque<Pending> pending;
        auto collect = [&]() -> int32_t {
            IoWorker::Result done = io_.wait();
            Pending block = pending.front();
            pending.pop_front();
            if (done.error == IoWorker::kAborted)
                return SHRED_STATUS_ABORTED;
            if (done.error)
                return writeFailed(done.error);
            return written(block.offset, block.length, done.took);
        };
        const unsigned char* abortFlag = abortFlag_;
        int turn = 0;
        for (uint64_t offset = 0; offset < size_;) {
            if (AbortFlag::raisedAt(abortFlag))
                return SHRED_STATUS_ABORTED;
            if (pending.size() == 2) {
                if (int32_t status = collect())
                    return status;
            }
            size_t length =
                static_cast<size_t>(std::min<uint64_t>(sizer_.current(), size_ - offset));
            uint8_t* data = transfer_[turn].data();
            turn ^= 1;
            if (!random_.fill(data, length))
                return ENGINE_STATUS_NO_RESOURCES;
            io_.start([&target, abortFlag, data, length, offset] {
                if (AbortFlag::raisedAt(abortFlag))
                    return IoWorker::kAborted;
                return target.writeAt(data, length, offset);
            });
            pending.push_back({offset, length});
            offset += length;
        }
        while (!pending.empty()) {
            if (int32_t status = collect())
                return status;
        }
        return 0;
    }

    // The guest's blocks in [offset, offset + length) get its content over `expected`.
    void overlayGuest(uint8_t* expected, size_t length, uint64_t offset) {
        const PassGuest* guest = options_.lastPassGuest;
        if (!guest)
            return;
        const std::vector<uint64_t>& blocks = guest->reservedBlocks();
        const uint64_t block = guest->reservedLength();
        auto it = std::lower_bound(blocks.begin(), blocks.end(),
                                   offset + 1 > block ? offset + 1 - block : 0);
        for (; it != blocks.end() && *it < offset + length; ++it) {
            guestContent_.resize(block);
            guest->fill(guestContent_.data(), *it);
            const uint64_t from = std::max(*it, offset);
            const uint64_t to = std::min(*it + block, offset + length);
            std::memcpy(expected + (from - offset), guestContent_.data() + (from - *it),
                        static_cast<size_t>(to - from));
        }
    }
    bool touchesGuest(uint64_t offset, size_t length) const {
        const PassGuest* guest = options_.lastPassGuest;
        if (!guest)
            return false;
        const std::vector<uint64_t>& blocks = guest->reservedBlocks();
        const uint64_t block = guest->reservedLength();
        auto it = std::lower_bound(blocks.begin(), blocks.end(),
                                   offset + 1 > block ? offset + 1 - block : 0);
        return it != blocks.end() && *it < offset + length;
    }
    // Each sector-sized unit of the chunk that differs is a failed range of its own.
    void noteDifferences(const uint8_t* data, const uint8_t* expected, size_t length,
                         uint64_t offset) {
        const size_t unit = std::max<size_t>(device_.alignment(), 512);
        for (size_t at = 0; at < length; at += unit) {
            const size_t piece = std::min(unit, length - at);
            if (std::memcmp(data + at, expected + at, piece) != 0)
                failed_.push_back(ByteRange{offset + at, piece, false});
        }
    }
    // The last pass's bytes, a tile at a time.
    struct Expectation {
        PatternTile tile;
        std::vector<uint8_t> bytes = std::vector<uint8_t>(kTile);
        bool random = false;
    };

    // One block read back against what the last pass and the guest wrote there.
    int32_t compareBlock(Expectation& expect, const uint8_t* data, uint64_t offset, size_t length,
                         const std::vector<ByteRange>& unreadable, size_t unit) {
        const size_t failedBefore = failed_.size();
        for (size_t at = 0; at < length; at += kTile) {
            const size_t chunk = std::min(kTile, length - at);
            const uint64_t tileOffset = offset + at;
            const uint8_t* reference = expect.tile.at(tileOffset);
            if (expect.random) {
                // The stream goes on over an unreadable block, so the rest compares.
                if (!random_.fill(expect.bytes.data(), chunk))
                    return ENGINE_STATUS_NO_RESOURCES;
                reference = expect.bytes.data();
            }
            if (touchesGuest(tileOffset, chunk)) {
                if (!expect.random)
                    std::memcpy(expect.bytes.data(), reference, chunk);
                overlayGuest(expect.bytes.data(), chunk, tileOffset);
                reference = expect.bytes.data();
            }
            if (!unreadable.empty())
                compareAround(unreadable, data + at, reference, chunk, tileOffset, unit);
            else if (firstDifference(data + at, reference, chunk) != chunk)
                noteDifferences(data + at, reference, chunk, tileOffset);
        }
        if (outcome_ && failed_.empty())
            outcome_->verifiedBytes = offset + length;
        if (failed_.size() > failedBefore)
            joinFailed(failedBefore);
        return 0;
    }

    // A unit at a time, in order: the unreadable ones are noted, the others compared.
    void compareAround(const std::vector<ByteRange>& unreadable, const uint8_t* data,
                       const uint8_t* expected, size_t length, uint64_t offset, size_t unit) {
        for (size_t at = 0; at < length; at += unit) {
            const size_t piece = std::min(unit, length - at);
            if (inRanges(unreadable, offset + at))
                addFailed(offset + at, piece, true);
            else if (std::memcmp(data + at, expected + at, piece) != 0)
                failed_.push_back(ByteRange{offset + at, piece, false});
        }
    }
    void addFailed(uint64_t offset, uint64_t length, bool unreadable) {
        if (!failed_.empty()) {
            ByteRange& last = failed_.back();
            if (last.offset + last.length == offset && last.unreadable == unreadable) {
                last.length += length;
                return;
            }
        }
        failed_.push_back(ByteRange{offset, length, unreadable});
    }

    int32_t startVerification(Expectation& expect) {
        if (observer_)
            observer_->verificationStarted();
        if (outcome_)
            outcome_->verificationStarted = true;
        const Pass& last = plan_.back();
        expect.random = last.kind == PassKind::Random;
        if (expect.random && !random_.restart())
            return ENGINE_STATUS_NO_RESOURCES;
        if (!expect.random)
            expect.tile.set(last);
        return 0;
    }

    // The read-back's reads are queued ahead, so the device keeps reading while a block is
    // compared; where the device allows, on two threads, so a medium that copies with the
    // processor (page cache, tmpfs) has two cores to do it. The expected bytes are made a
    // cache-sized piece at a time, which leaves three buffers for reading.
    struct ReadQueue {
        static constexpr size_t kDepth = 3;
        struct Slot {
            uint8_t* data = nullptr;
            // A block that cannot be read is noted and passed, not a stop for the readers;
            // what can be read of it is compared.
            int error = 0;
            std::vector<ByteRange> unreadable;
        };
        struct Pending {
            uint64_t offset;
            size_t length;
            Slot* slot;
            IoWorker* reader;
        };
        IoWorker* readers[2] = {};
        Slot slots[kDepth];
        std::deque<Pending> pending;
        uint64_t nextOffset = 0;
        size_t queued = 0;
    };

    size_t readUnit() const { return std::max<size_t>(device_.alignment(), 512); }

    void queueRead() {
        ReadQueue& queue = readQueue_;
        const auto length =
            static_cast<size_t>(std::min<uint64_t>(sizer_.current(), size_ - queue.nextOffset));
        ReadQueue::Slot* slot = &queue.slots[queue.queued % ReadQueue::kDepth];
        IoWorker* reader = queue.readers[queue.queued % 2];
        const uint64_t offset = queue.nextOffset;
        reader->start([device = &device_, abortFlag = abortFlag_, slot, length, offset,
                       unit = readUnit()] {
            if (AbortFlag::raisedAt(abortFlag))
                return IoWorker::kAborted;
            slot->error = readAround(*device, slot->data, length, offset, unit, slot->unreadable);
            return slot->error == EIO ? 0 : slot->error;
        });
        queue.pending.push_back({offset, length, slot, reader});
        queue.nextOffset += length;
        ++queue.queued;
    }

    // The oldest queued read, once done, compared with what the last pass wrote there. 0, or
    // the status that ends the read-back.
    int32_t checkOldestRead(Expectation& expect) {
        const ReadQueue::Pending block = readQueue_.pending.front();
        readQueue_.pending.pop_front();
        const IoWorker::Result done = block.reader->wait();
        if (done.error == IoWorker::kAborted)
            return SHRED_STATUS_ABORTED;
        if (done.error) {
            const int32_t status = mediumStatus();
            return status ? status : SHRED_STATUS_FAILED_MEDIA;
        }
        if (block.slot->error != 0) {
            // A stick that is gone answers EIO too; then that is what happened.
            if (int32_t status = mediumStatus())
                return status;
        } else {
            sizer_.observe(done.took, block.length);
        }
        if (int32_t status = compareBlock(expect, block.slot->data, block.offset, block.length,
                                          block.slot->unreadable, readUnit()))
            return status;
        progress_.add(block.length);
        if (progress_.due())
            progress_.report();
        return AbortFlag::raisedAt(abortFlag_) ? SHRED_STATUS_ABORTED : 0;
    }

    int32_t verify() {
        Expectation expect;
        if (int32_t status = startVerification(expect))
            return status;
        if (device_.concurrentReads())
            secondReader_ = std::make_unique<IoWorker>();
        readQueue_.readers[0] = &io_;
        readQueue_.readers[1] = secondReader_ ? secondReader_.get() : &io_;
        uint8_t* buffers[ReadQueue::kDepth] = {transfer_[0].data(), transfer_[1].data(),
                                               work_.data()};
        for (size_t i = 0; i < ReadQueue::kDepth; ++i)
            readQueue_.slots[i].data = buffers[i];
        if (AbortFlag::raisedAt(abortFlag_))
            return SHRED_STATUS_ABORTED;
        while (readQueue_.pending.size() < ReadQueue::kDepth && readQueue_.nextOffset < size_)
            queueRead();
        while (!readQueue_.pending.empty()) {
            if (int32_t status = checkOldestRead(expect))
                return status;
            if (readQueue_.nextOffset < size_)
                queueRead();
        }
        if (int32_t status = mediumStatus())
            return status;
        if (outcome_)
            outcome_->verification = JobOutcome::Verification::Passed;
        return 0;
    }

    // Neighbouring failed units become one range; a medium that fails everywhere keeps
    // the list short by growing its last range.
    void joinFailed(size_t from) {
        size_t kept = from > 0 ? from - 1 : 0;
        for (size_t i = std::max<size_t>(from, 1); i < failed_.size(); ++i) {
            ByteRange& last = failed_[kept];
            const ByteRange& next = failed_[i];
            if ((last.offset + last.length == next.offset && last.unreadable == next.unreadable) ||
                kept + 1 >= kFailedLimit) {
                last.length = next.offset + next.length - last.offset;
                last.unreadable = last.unreadable && next.unreadable;
            } else {
                failed_[++kept] = next;
            }
        }
        failed_.resize(std::min(failed_.size(), kept + 1));
    }

    // The guest's blocks get the last pass too, and are read back: nothing of the guest
    // stays on the medium.
    int32_t giveGuestBlocksThePass() {
        const PassGuest* guest = options_.lastPassGuest;
        if (!guest)
            return 0;
        const Pass& pass = plan_.back();
        const size_t length = guest->reservedLength();
        uint8_t* data = transfer_[0].data();
        uint8_t* back = transfer_[1].data();
        patterns_.invalidate(); // the read-back used its buffer
        for (uint64_t offset : guest->reservedBlocks()) {
            if (AbortFlag::raisedAt(abortFlag_))
                return SHRED_STATUS_ABORTED;
            if (pass.kind == PassKind::Random) {
                if (!random_.fillAt(data, length, offset))
                    return ENGINE_STATUS_NO_RESOURCES;
            } else {
                std::memcpy(data, patterns_.at(pass, offset), length);
            }
            if (int rc = device_.writeAt(data, length, offset))
                return writeFailed(rc);
        }
        if (int rc = device_.sync())
            return writeFailed(rc);
        device_.dropCache();
        if (!options_.verify)
            return 0;
        for (uint64_t offset : guest->reservedBlocks()) {
            if (pass.kind == PassKind::Random) {
                if (!random_.fillAt(data, length, offset))
                    return ENGINE_STATUS_NO_RESOURCES;
            } else {
                std::memcpy(data, patterns_.at(pass, offset), length);
            }
            const int rc = device_.readAt(back, length, offset);
            if (rc != 0 && rc != EIO)
                return SHRED_STATUS_FAILED_MEDIA;
            if (rc != 0 || std::memcmp(data, back, length) != 0) {
                if (int32_t status = mediumStatus())
                    return status;
                // Already failed there in the read-back: one range is enough.
                const bool known =
                    std::any_of(failed_.begin(), failed_.end(), [&](const ByteRange& r) {
                        return r.offset < offset + length && offset < r.offset + r.length;
                    });
                if (!known)
                    failed_.push_back(ByteRange{offset, length, rc != 0});
            }
        }
        return 0;
    }

    static constexpr size_t kFailedLimit = 256;
    BlockDevice& device_;
    const std::vector<Pass>& plan_;
    const unsigned char* abortFlag_;
    const JobOptions& options_;
    JobOutcome* outcome_;
    const uint64_t size_;
    AlignedBuffer work_;
    AlignedBuffer transfer_[2];
    RandomStream random_;
    PatternBuffer patterns_;
    WithGuest lastPass_;
    std::vector<ByteRange> failed_;
    std::vector<uint8_t> guestContent_;
    // The readers write into the queue's slots: it goes after they have stopped.
    ReadQueue readQueue_;
    IoWorker io_; // after the buffers: it finishes its transfer before they go
    std::unique_ptr<IoWorker> secondReader_;
    Progress progress_;
    BlockSizer sizer_;
    JobObserver* observer_;
};

} // namespace

int32_t runPasses(BlockDevice& device, const std::vector<Pass>& plan, ProgressSink& sink,
                  const unsigned char* abortFlag, const JobOptions& options, JobOutcome* outcome) {
    if (plan.empty() || options.minBlock == 0 || options.maxBlock < options.minBlock ||
        jobBufferBytes(options) > (16u << 20))
        return ENGINE_STATUS_BAD_REQUEST;
    if (device.size() == 0)
        return SHRED_STATUS_FAILED_MEDIA;
    if (device.readOnly())
        return SHRED_STATUS_FAILED_WRITE_PROTECTED;
    return PassRun(device, plan, sink, abortFlag, options, outcome).run();
}

} // namespace kestrune::engine
