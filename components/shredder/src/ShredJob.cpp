#include "shredengine/ShredJob.h"

#include "shredengine/CapacityCheck.h"
#include "shredengine/RandomStream.h"

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <tuple>

namespace kestrune::engine {

namespace {

using Clock = std::chrono::steady_clock;

bool abortRequested(const unsigned char* flag) {
    return flag && __atomic_load_n(flag, __ATOMIC_ACQUIRE) != 0;
}

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

class Progress {
public:
    Progress(ProgressSink& sink, uint64_t total, std::chrono::milliseconds interval)
        : sink_(sink), total_(total), interval_(interval) {}

    void start() {
        last_ = Clock::now();
        started_ = last_;
        sink_.progress(0, static_cast<int64_t>(total_), 0, 0.0);
    }
    void add(uint64_t bytes) {
        done_ += bytes;
        // The speed is measured from the end of the first block on: what a medium takes in
        // at first goes to its cache, faster than it can keep up.
        if (recent_.empty())
            recent_.emplace_back(Clock::now(), done_);
    }
    bool due() const { return Clock::now() - last_ >= interval_; }
    // The last report, unless the last block already gave it.
    void finish() {
        if (done_ != lastDone_)
            report();
    }
    void report() {
        auto now = Clock::now();
        // Over the last second or so, not since the last report only: a sample of a few
        // blocks would jump with every hiccup of the machine.
        while (recent_.size() > 1 && now - recent_[1].first >= kSpeedWindow)
            recent_.pop_front();
        Clock::time_point since = started_;
        uint64_t doneThen = 0;
        if (!recent_.empty() && recent_.front().second < done_)
            std::tie(since, doneThen) = recent_.front();
        double seconds = std::chrono::duration<double>(now - since).count();
        double speed = seconds > 0 ? double(done_ - doneThen) / seconds / (1024.0 * 1024.0) : 0.0;
        recent_.emplace_back(now, done_);
        int percent = total_ ? static_cast<int>(done_ * 100 / total_) : 100;
        percent_ = std::max(percent_, std::min(percent, 100));
        sink_.progress(percent_, static_cast<int64_t>(total_ - done_), static_cast<int64_t>(done_),
                       speed);
        last_ = now;
        lastDone_ = done_;
    }

private:
    ProgressSink& sink_;
    uint64_t total_;
    std::chrono::milliseconds interval_;
    uint64_t done_ = 0;
    uint64_t lastDone_ = 0;
    int percent_ = 0;
    Clock::time_point last_;
    Clock::time_point started_;
    static constexpr std::chrono::seconds kSpeedWindow{1};
    std::deque<std::pair<Clock::time_point, uint64_t>> recent_;
};

class BlockSizer {
public:
    explicit BlockSizer(const JobOptions& o)
        : options_(o), current_(std::clamp(o.initialBlock, o.minBlock, o.maxBlock)) {}
    size_t current() const { return current_; }
    void observe(Clock::duration took, size_t length) {
        if (length < current_)
            return;
        if (took > options_.slowBlock && current_ / 2 >= options_.minBlock)
            current_ /= 2;
        else if (took < options_.fastBlock && current_ * 2 <= options_.maxBlock)
            current_ *= 2;
    }

private:
    const JobOptions& options_;
    size_t current_;
};

// The pattern repeats every 3 bytes; a tile of whole periods that stays in cache serves
// as the source of fills and as the reference of comparisons.
constexpr size_t kTile = 3 * 16384;

class PatternTile {
public:
    // tile[p + i] is the pattern's byte at offset p + i, for p < 3.
    void set(const Pass& pass) {
        for (size_t i = 0; i < bytes_.size(); ++i)
            bytes_[i] = pass.pattern[i % 3];
    }
    const uint8_t* at(uint64_t offset) const { return bytes_.data() + offset % 3; }

private:
    std::array<uint8_t, kTile + 2> bytes_{};
};

// The index of the first byte that differs, or length.
size_t firstDifference(const uint8_t* data, const uint8_t* expected, size_t length) {
    if (std::memcmp(data, expected, length) == 0)
        return length;
    size_t at = 0;
    while (data[at] == expected[at])
        ++at;
    return at;
}

// The index of the first byte that differs from the tile's pattern, or length.
size_t differenceFromTile(const uint8_t* data, size_t length, const uint8_t* tile) {
    for (size_t done = 0; done < length; done += kTile) {
        size_t chunk = std::min(kTile, length - done);
        size_t at = firstDifference(data + done, tile, chunk);
        if (at != chunk)
            return done + at;
    }
    return length;
}

// A buffer that holds a fixed pattern at a given phase, refilled only when needed.
class PatternBuffer {
public:
    explicit PatternBuffer(AlignedBuffer& buffer) : buffer_(buffer) {}
    const uint8_t* at(const Pass& pass, uint64_t offset) {
        bool uniform = pass.pattern[0] == pass.pattern[1] && pass.pattern[1] == pass.pattern[2];
        int phase = uniform ? 0 : static_cast<int>(offset % 3);
        if (!valid_ || !(pass == pass_) || phase != phase_) {
            uint8_t* p = buffer_.data();
            if (uniform) {
                std::memset(p, pass.pattern[0], buffer_.size());
            } else {
                if (!(pass == tilePass_ && tileValid_)) {
                    tile_.set(pass);
                    tilePass_ = pass;
                    tileValid_ = true;
                }
                const uint8_t* source = tile_.at(static_cast<uint64_t>(phase));
                for (size_t done = 0; done < buffer_.size(); done += kTile)
                    std::memcpy(p + done, source, std::min(kTile, buffer_.size() - done));
            }
            pass_ = pass;
            phase_ = phase;
            valid_ = true;
        }
        return buffer_.data();
    }
    void invalidate() { valid_ = false; }

private:
    AlignedBuffer& buffer_;
    Pass pass_;
    int phase_ = 0;
    bool valid_ = false;
    PatternTile tile_;
    Pass tilePass_;
    bool tileValid_ = false;
};

// Runs transfers in order on its own thread. Up to two may be queued, so the device is
// never left idle while the job wakes up to hand over the next one.
class IoWorker {
public:
    struct Result {
        int error = 0;
        Clock::duration took{};
    };
    // A task's result that stops the queue without being a device error.
    static constexpr int kAborted = -1;

    IoWorker() : thread_([this] { loop(); }) {}
    ~IoWorker() {
        {
            std::lock_guard lock(mutex_);
            stop_ = true; // a transfer under way still finishes before its buffer goes
        }
        changed_.notify_all();
        thread_.join();
    }
    void start(std::function<int()> task) {
        {
            std::lock_guard lock(mutex_);
            tasks_.push_back(std::move(task));
        }
        changed_.notify_all();
    }
    // The result of the oldest transfer not collected yet.
    Result wait() {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [this] { return !results_.empty(); });
        Result result = results_.front();
        results_.pop_front();
        return result;
    }

private:
    void loop() {
        std::unique_lock lock(mutex_);
        for (;;) {
            changed_.wait(lock, [this] { return stop_ || !tasks_.empty(); });
            if (stop_)
                return;
            std::function<int()> task = std::move(tasks_.front());
            tasks_.pop_front();
            if (failed_) {
                // Nothing goes to the device after a failure or an abort.
                results_.push_back(Result{failedWith_, {}});
                changed_.notify_all();
                continue;
            }
            lock.unlock();
            auto started = Clock::now();
            int error = task();
            Result result{error, Clock::now() - started};
            lock.lock();
            if (error) {
                failed_ = true;
                failedWith_ = error;
            }
            results_.push_back(result);
            changed_.notify_all();
        }
    }

    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<std::function<int()>> tasks_;
    std::deque<Result> results_;
    bool failed_ = false;
    int failedWith_ = 0;
    bool stop_ = false;
    std::thread thread_;
};

// The device as the first pass writes it while a guest holds blocks of it.
class AroundReserved final : public BlockDevice {
public:
    AroundReserved(BlockDevice& device, const FirstPassGuest* guest)
        : device_(device), guest_(guest) {}
    uint64_t size() const override { return device_.size(); }
    size_t alignment() const override { return device_.alignment(); }
    bool readOnly() const override { return device_.readOnly(); }
    bool direct() const override { return device_.direct(); }
    int writeAt(const void* data, size_t length, uint64_t offset) override {
        if (!guest_)
            return device_.writeAt(data, length, offset);
        const auto* bytes = static_cast<const uint8_t*>(data);
        const std::vector<uint64_t>& blocks = guest_->reservedBlocks();
        const uint64_t block = guest_->reservedLength();
        const uint64_t end = offset + length;
        uint64_t at = offset;
        // The first block that ends past the offset.
        auto it = std::lower_bound(blocks.begin(), blocks.end(),
                                   offset + 1 > block ? offset + 1 - block : 0);
        for (; it != blocks.end() && *it < end; ++it) {
            if (*it > at) {
                if (int rc = device_.writeAt(bytes + (at - offset), *it - at, at))
                    return rc;
            }
            at = std::max(at, *it + block);
        }
        return at < end ? device_.writeAt(bytes + (at - offset), end - at, at) : 0;
    }
    int readAt(void* data, size_t length, uint64_t offset) override {
        return device_.readAt(data, length, offset);
    }
    int sync() override { return device_.sync(); }

private:
    BlockDevice& device_;
    const FirstPassGuest* guest_;
};

// A fixed pattern needs no preparation, so it is written from the job's thread.
template <typename Written, typename WriteFailed>
int32_t writePattern(BlockDevice& device, const Pass& pass, PatternBuffer& patterns,
                     BlockSizer& sizer, const unsigned char* abortFlag, Written& written,
                     WriteFailed& writeFailed) {
    const uint64_t size = device.size();
    for (uint64_t offset = 0; offset < size;) {
        if (abortRequested(abortFlag))
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

bool passPlan(int32_t algorithm, std::vector<Pass>& plan) {
    plan.clear();
    switch (algorithm) {
    case ALGORITHM_ZERO:
        plan = {patternPass(0x00)};
        return true;
    case ALGORITHM_RANDOM:
        plan = {randomPass()};
        return true;
    case ALGORITHM_THREE_PASS:
        plan = {patternPass(0x00), patternPass(0xFF), randomPass()};
        return true;
    case ALGORITHM_GUTMANN: {
        std::vector<Pass> fixed(gutmannPatterns().begin(), gutmannPatterns().end());
        for (size_t i = fixed.size() - 1; i > 0; --i) {
            size_t j = 0;
            if (!uniformIndex(i + 1, j))
                return false;
            std::swap(fixed[i], fixed[j]);
        }
        plan.assign(4, randomPass());
        plan.insert(plan.end(), fixed.begin(), fixed.end());
        plan.insert(plan.end(), 4, randomPass());
        return true;
    }
    default:
        return false;
    }
}

void StatusCallbackSink::progress(int percent, int64_t bytesLeft, int64_t bytesDone,
                                  double mibPerSecond) {
    if (callback_)
        callback_(context_, deviceNumber_, base_ + percent * span_ / 100, bytesLeft, bytesDone,
                  mibPerSecond);
}

size_t jobBufferBytes(const JobOptions& options) {
    return 3 * options.maxBlock + 3 * kTile; // and the pattern tiles or the expected piece
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

int32_t runPasses(BlockDevice& device, const std::vector<Pass>& plan, ProgressSink& sink,
                  const unsigned char* abortFlag, const JobOptions& options, JobOutcome* outcome) {
    if (plan.empty() || options.minBlock == 0 || options.maxBlock < options.minBlock ||
        jobBufferBytes(options) > (16u << 20))
        return ENGINE_STATUS_BAD_REQUEST;
    const uint64_t size = device.size();
    if (size == 0)
        return SHRED_STATUS_FAILED_MEDIA;
    if (device.readOnly())
        return SHRED_STATUS_FAILED_WRITE_PROTECTED;
    // What became of the medium explains a failed transfer better than its errno.
    auto mediumStatus = [&]() -> int32_t {
        return options.mediumCheck ? options.mediumCheck() : 0;
    };
    auto writeFailed = [&](int error) -> int32_t {
        if (int32_t status = mediumStatus())
            return status;
        return writeFailureStatus(error);
    };

    // Two buffers take turns with the device while the third is generated or compared.
    AlignedBuffer work(options.maxBlock);
    AlignedBuffer transfer[2] = {AlignedBuffer(options.maxBlock), AlignedBuffer(options.maxBlock)};
    RandomStream random;
    if (!work || !transfer[0] || !transfer[1])
        return ENGINE_STATUS_NO_RESOURCES;
    PatternBuffer patterns(work);
    AroundReserved firstPass(device, options.firstPassGuest);
    IoWorker io; // declared after the buffers: it finishes its transfer before they go
    std::unique_ptr<IoWorker> secondReader;

    const uint64_t steps = plan.size() + (options.verify ? 1 : 0);
    Progress progress(sink, size * steps, options.reportInterval);
    BlockSizer sizer(options);
    JobObserver* observer = options.observer;
    progress.start();

    // Reports at most a few times a second; a buffered device is synced first so the
    // speed is what reached the medium, not the page cache.
    auto tick = [&]() -> int32_t {
        if (!progress.due())
            return 0;
        if (!device.direct()) {
            if (int rc = device.sync())
                return writeFailed(rc);
        }
        progress.report();
        return 0;
    };

    for (size_t index = 0; index < plan.size(); ++index) {
        const Pass& pass = plan[index];
        FirstPassGuest* guest = index == 0 ? options.firstPassGuest : nullptr;
        BlockDevice& target = guest ? firstPass : device;
        if (observer)
            observer->passStarted(index, pass);
        const bool randomData = pass.kind == PassKind::Random;
        if (randomData && !random.rekey())
            return ENGINE_STATUS_NO_RESOURCES;
        auto written = [&](uint64_t offset, size_t length, Clock::duration took) -> int32_t {
            sizer.observe(took, length);
            if (observer)
                observer->blockWritten(offset, length);
            progress.add(length);
            return tick();
        };
        if (randomData) {
            // Each block is generated while the one before it is being written.
            struct Pending {
                uint64_t offset;
                size_t length;
            };
            std::deque<Pending> pending;
            auto collect = [&]() -> int32_t {
                IoWorker::Result done = io.wait();
                Pending block = pending.front();
                pending.pop_front();
                if (done.error == IoWorker::kAborted)
                    return SHRED_STATUS_ABORTED;
                if (done.error)
                    return writeFailed(done.error);
                return written(block.offset, block.length, done.took);
            };
            int turn = 0;
            for (uint64_t offset = 0; offset < size;) {
                if (abortRequested(abortFlag))
                    return SHRED_STATUS_ABORTED;
                if (pending.size() == 2) {
                    if (int32_t status = collect())
                        return status;
                }
                size_t length =
                    static_cast<size_t>(std::min<uint64_t>(sizer.current(), size - offset));
                uint8_t* data = transfer[turn].data();
                turn ^= 1;
                if (!random.fill(data, length))
                    return ENGINE_STATUS_NO_RESOURCES;
                io.start([&target, abortFlag, data, length, offset] {
                    if (abortRequested(abortFlag))
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
        } else if (int32_t status = writePattern(target, pass, patterns, sizer, abortFlag, written,
                                                 writeFailed)) {
            return status;
        }
        if (int rc = device.sync())
            return writeFailed(rc);
        if (int32_t status = mediumStatus())
            return status;
        if (int32_t status =
                letGuestIn(device, guest, pass, patterns, random, transfer[0], writeFailed))
            return status;
        if (outcome)
            outcome->passesDone = static_cast<uint32_t>(index + 1);
        if (observer)
            observer->passFinished(index, pass);
    }

    if (options.verify) {
        if (observer)
            observer->verificationStarted();
        if (outcome)
            outcome->verificationStarted = true;
        const Pass& last = plan.back();
        const bool randomData = last.kind == PassKind::Random;
        if (randomData && !random.restart())
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
        if (device.concurrentReads())
            secondReader = std::make_unique<IoWorker>();
        IoWorker* readers[2] = {&io, secondReader ? secondReader.get() : &io};
        uint8_t* slots[3] = {transfer[0].data(), transfer[1].data(), work.data()};
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
        auto queueRead = [&] {
            size_t length =
                static_cast<size_t>(std::min<uint64_t>(sizer.current(), size - nextOffset));
            const int slot = static_cast<int>(queued % depth);
            IoWorker* reader = readers[queued % 2];
            uint8_t* data = slots[slot];
            const uint64_t offset = nextOffset;
            reader->start([&device, abortFlag, data, length, offset] {
                if (abortRequested(abortFlag))
                    return IoWorker::kAborted;
                return device.readAt(data, length, offset);
            });
            pending.push_back({offset, length, slot, reader});
            nextOffset += length;
            ++queued;
        };
        if (abortRequested(abortFlag))
            return SHRED_STATUS_ABORTED;
        while (pending.size() < depth && nextOffset < size)
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
            sizer.observe(done.took, block.length);
            const uint8_t* data = slots[block.slot];
            size_t differs = block.length;
            if (randomData) {
                for (size_t at = 0; differs == block.length && at < block.length; at += kTile) {
                    size_t chunk = std::min(kTile, block.length - at);
                    if (!random.fill(expected.data(), chunk))
                        return ENGINE_STATUS_NO_RESOURCES;
                    size_t same = firstDifference(data + at, expected.data(), chunk);
                    if (same != chunk)
                        differs = at + same;
                }
            } else {
                differs = differenceFromTile(data, block.length, tile.at(block.offset));
            }
            if (differs != block.length) {
                if (outcome) {
                    outcome->verification = JobOutcome::Verification::Failed;
                    outcome->mismatchOffset = block.offset + differs;
                }
                return SHRED_STATUS_FAILED_VERIFY;
            }
            if (outcome)
                outcome->verifiedBytes = block.offset + block.length;
            progress.add(block.length);
            if (progress.due())
                progress.report();
            if (abortRequested(abortFlag))
                return SHRED_STATUS_ABORTED;
            if (nextOffset < size)
                queueRead();
        }
        if (int32_t status = mediumStatus())
            return status;
        if (outcome)
            outcome->verification = JobOutcome::Verification::Passed;
    }
    progress.finish();
    return SHRED_STATUS_SHREDDED;
}

namespace {

// The passes over all that a measured medium keeps.
int32_t eraseMeasured(BlockDevice& device, const CapacityCheck& check,
                      const std::vector<Pass>& plan, ProgressSink& sink,
                      const unsigned char* abortFlag, const JobOptions& options,
                      JobOutcome& outcome) {
    outcome.usableBytes = check.usable();
    if (!check.counterfeit())
        return runPasses(device, plan, sink, abortFlag, options, &outcome);
    if (check.usable() == 0)
        return SHRED_STATUS_FAILED_COUNTERFEIT; // it keeps nothing that could be erased
    UsablePart usable(device, check.usable());
    const int32_t status = runPasses(usable, plan, sink, abortFlag, options, &outcome);
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
    int32_t status = check.begin();
    if (status == 0 && !check.counterfeit()) {
        // The check rides on the first pass, which flushes any cache its markers hide in.
        JobOptions riding = options;
        riding.firstPassGuest = &check;
        status = runPasses(device, plan, sink, abortFlag, riding, &outcome);
        if (!check.counterfeit()) {
            if (check.settled())
                outcome.usableBytes = check.usable();
            return status;
        }
        status = 0;
    }
    if (status == 0)
        status = check.measure();
    if (status != 0) {
        const int32_t medium = options.mediumCheck ? options.mediumCheck() : 0;
        return medium ? medium : status;
    }
    return eraseMeasured(device, check, plan, sink, abortFlag, options, outcome);
}

} // namespace kestrune::engine
