#include "PassTools.h"

#include "base/AbortFlag.h"
#include "shredengine/RandomStream.h"
#include "shredengine/ShredJob.h"

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

// The first pass is on the medium but for the guest's blocks: once the guest lets the job
// go on, they get the pass's content too.
template <typename WriteFailed>
int32_t letGuestIn(BlockDevice& device, FirstPassGuest* guest, const Pass& pass,
                   PatternBuffer& patterns, RandomStream& random, AlignedBuffer& buffer,
                   WriteFailed& writeFailed) {
    if (!guest)
        return 0;
    if (int32_t status = guest->firstPassDone())
        return status;
    const size_t length = guest->reservedLength();
    for (uint64_t offset : guest->reservedBlocks()) {
        for (size_t done = 0; done < length;) {
            const uint64_t at = offset + done;
            const size_t piece = std::min(length - done, buffer.size());
            const uint8_t* data = buffer.data();
            if (pass.kind == PassKind::Random) {
                if (!random.fillAt(buffer.data(), piece, at))
                    return ENGINE_STATUS_NO_RESOURCES;
            } else {
                data = patterns.at(pass, at);
            }
            if (int rc = device.writeAt(data, piece, at))
                return writeFailed(rc);
            done += piece;
        }
    }
    if (int rc = device.sync())
        return writeFailed(rc);
    return 0;
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
          patterns_(work_), firstPass_(device, options.firstPassGuest),
          progress_(sink, size_ * (plan.size() + (options.verify ? 1 : 0)), options.reportInterval),
          sizer_(options), observer_(options.observer) {}

    int32_t run() {
        // Two buffers take turns with the device while the third is generated or compared.
        if (!work_ || !transfer_[0] || !transfer_[1])
            return ENGINE_STATUS_NO_RESOURCES;
        progress_.start();
        for (size_t index = 0; index < plan_.size(); ++index)
            if (int32_t status = writePass(index))
                return status;
        if (options_.verify)
            if (int32_t status = verify())
                return status;
        progress_.finish();
        return SHRED_STATUS_SHREDDED;
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
        FirstPassGuest* guest = index == 0 ? options_.firstPassGuest : nullptr;
        BlockDevice& target = guest ? static_cast<BlockDevice&>(firstPass_) : device_;
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
        if (int32_t status =
                letGuestIn(device_, guest, pass, patterns_, random_, transfer_[0], onFailure))
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

    int32_t verify() {
        if (observer_)
            observer_->verificationStarted();
        if (outcome_)
            outcome_->verificationStarted = true;
        const Pass& last = plan_.back();
        const bool randomData = last.kind == PassKind::Random;
        if (randomData && !random_.restart())
            return ENGINE_STATUS_NO_RESOURCES;
        PatternTile tile;
        std::vector<uint8_t> expected;
        if (randomData)
            expected.resize(kTile);
        else
            tile.set(last);
        // Reads are queued ahead, so the device keeps reading while a block is compared;
        // where the device allows, on two threads, so a medium that copies with the
        // processor (page cache, tmpfs) has two cores to do it. The expected bytes are
        // made a cache-sized piece at a time, which leaves three buffers for reading.
        if (device_.concurrentReads())
            secondReader_ = std::make_unique<IoWorker>();
        IoWorker* readers[2] = {&io_, secondReader_ ? secondReader_.get() : &io_};
        uint8_t* slots[3] = {transfer_[0].data(), transfer_[1].data(), work_.data()};
        const size_t depth = 3;
        struct Pending {
            uint64_t offset;
            size_t length;
            int slot;
            IoWorker* reader;
        };
        std::deque<Pending> pending;
        uint64_t nextOffset = 0;
        size_t queued = 0;
        BlockDevice& device = device_;
        const unsigned char* abortFlag = abortFlag_;
        auto queueRead = [&] {
            size_t length =
                static_cast<size_t>(std::min<uint64_t>(sizer_.current(), size_ - nextOffset));
            const int slot = static_cast<int>(queued % depth);
            IoWorker* reader = readers[queued % 2];
            uint8_t* data = slots[slot];
            const uint64_t offset = nextOffset;
            reader->start([&device, abortFlag, data, length, offset] {
                if (AbortFlag::raisedAt(abortFlag))
                    return IoWorker::kAborted;
                return device.readAt(data, length, offset);
            });
            pending.push_back({offset, length, slot, reader});
            nextOffset += length;
            ++queued;
        };
        if (AbortFlag::raisedAt(abortFlag))
            return SHRED_STATUS_ABORTED;
        while (pending.size() < depth && nextOffset < size_)
            queueRead();
        while (!pending.empty()) {
            Pending block = pending.front();
            pending.pop_front();
            IoWorker::Result done = block.reader->wait();
            if (done.error == IoWorker::kAborted)
                return SHRED_STATUS_ABORTED;
            if (done.error) {
                const int32_t status = mediumStatus();
                return status ? status : SHRED_STATUS_FAILED_MEDIA;
            }
            sizer_.observe(done.took, block.length);
            const uint8_t* data = slots[block.slot];
            size_t differs = block.length;
            if (randomData) {
                for (size_t at = 0; differs == block.length && at < block.length; at += kTile) {
                    size_t chunk = std::min(kTile, block.length - at);
                    if (!random_.fill(expected.data(), chunk))
                        return ENGINE_STATUS_NO_RESOURCES;
                    size_t same = firstDifference(data + at, expected.data(), chunk);
                    if (same != chunk)
                        differs = at + same;
                }
            } else {
                differs = differenceFromTile(data, block.length, tile.at(block.offset));
            }
            if (differs != block.length) {
                if (outcome_) {
                    outcome_->verification = JobOutcome::Verification::Failed;
                    outcome_->mismatchOffset = block.offset + differs;
                }
                return SHRED_STATUS_FAILED_VERIFY;
            }
            if (outcome_)
                outcome_->verifiedBytes = block.offset + block.length;
            progress_.add(block.length);
            if (progress_.due())
                progress_.report();
            if (AbortFlag::raisedAt(abortFlag))
                return SHRED_STATUS_ABORTED;
            if (nextOffset < size_)
                queueRead();
        }
        if (int32_t status = mediumStatus())
            return status;
        if (outcome_)
            outcome_->verification = JobOutcome::Verification::Passed;
        return 0;
    }

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
    AroundReserved firstPass_;
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
