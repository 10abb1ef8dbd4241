#include "shredengine/ShredJob.h"

#include "shredengine/RandomStream.h"

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <mutex>
#include <thread>

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
        sink_.progress(0, static_cast<int64_t>(total_), 0, 0.0);
    }
    void add(uint64_t bytes) { done_ += bytes; }
    bool due() const { return Clock::now() - last_ >= interval_; }
    // The last report, unless the last block already gave it.
    void finish() {
        if (done_ != lastDone_)
            report();
    }
    void report() {
        auto now = Clock::now();
        double seconds = std::chrono::duration<double>(now - last_).count();
        double speed = seconds > 0 ? double(done_ - lastDone_) / seconds / (1024.0 * 1024.0) : 0.0;
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
                for (size_t i = 0; i < buffer_.size(); ++i)
                    p[i] = pass.pattern[(static_cast<size_t>(phase) + i) % 3];
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
};

// Runs one transfer at a time on its own thread, so the job can prepare the next block.
class IoWorker {
public:
    struct Result {
        int error = 0;
        Clock::duration took{};
    };
    IoWorker() : thread_([this] { loop(); }) {}
    ~IoWorker() {
        {
            std::unique_lock lock(mutex_);
            changed_.wait(lock, [this] { return !running_; });
            stop_ = true;
        }
        changed_.notify_all();
        thread_.join();
    }
    void start(std::function<int()> task) {
        {
            std::lock_guard lock(mutex_);
            task_ = std::move(task);
            running_ = true;
            finished_ = false;
        }
        changed_.notify_all();
    }
    Result wait() {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [this] { return finished_; });
        finished_ = false;
        return result_;
    }

private:
    void loop() {
        std::unique_lock lock(mutex_);
        for (;;) {
            changed_.wait(lock, [this] { return stop_ || task_; });
            if (stop_)
                return;
            std::function<int()> task;
            task.swap(task_);
            lock.unlock();
            auto started = Clock::now();
            int error = task();
            Result result{error, Clock::now() - started};
            lock.lock();
            running_ = false;
            result_ = result;
            finished_ = true;
            changed_.notify_all();
        }
    }

    std::mutex mutex_;
    std::condition_variable changed_;
    std::function<int()> task_;
    Result result_;
    bool running_ = false; // a transfer may still touch its buffer
    bool finished_ = false;
    bool stop_ = false;
    std::thread thread_;
};

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
    return 3 * options.maxBlock;
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
    default:
        return SHRED_STATUS_FAILED_WRITE;
    }
}

int32_t runPasses(BlockDevice& device, const std::vector<Pass>& plan, ProgressSink& sink,
                  const unsigned char* abortFlag, const JobOptions& options) {
    if (plan.empty() || options.minBlock == 0 || options.maxBlock < options.minBlock ||
        jobBufferBytes(options) > (16u << 20))
        return ENGINE_STATUS_BAD_REQUEST;
    const uint64_t size = device.size();
    if (size == 0)
        return SHRED_STATUS_FAILED_MEDIA;
    if (device.readOnly())
        return SHRED_STATUS_FAILED_WRITE;

    // Two buffers take turns with the device while the third is generated or compared.
    AlignedBuffer work(options.maxBlock);
    AlignedBuffer transfer[2] = {AlignedBuffer(options.maxBlock), AlignedBuffer(options.maxBlock)};
    RandomStream random;
    if (!work || !transfer[0] || !transfer[1])
        return ENGINE_STATUS_NO_RESOURCES;
    PatternBuffer patterns(work);
    IoWorker io; // declared after the buffers: it finishes its transfer before they go

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
                return writeFailureStatus(rc);
        }
        progress.report();
        return 0;
    };

    for (size_t index = 0; index < plan.size(); ++index) {
        const Pass& pass = plan[index];
        if (observer)
            observer->passStarted(index, pass);
        const bool randomData = pass.kind == PassKind::Random;
        if (randomData && !random.rekey())
            return ENGINE_STATUS_NO_RESOURCES;
        // A random block is generated while the one before it is being written.
        uint64_t pendingOffset = 0;
        size_t pendingLength = 0;
        auto finishWrite = [&]() -> int32_t {
            if (pendingLength == 0)
                return 0;
            IoWorker::Result done = io.wait();
            if (done.error)
                return writeFailureStatus(done.error);
            sizer.observe(done.took, pendingLength);
            if (observer)
                observer->blockWritten(pendingOffset, pendingLength);
            progress.add(pendingLength);
            pendingLength = 0;
            return tick();
        };
        int turn = 0;
        for (uint64_t offset = 0; offset < size;) {
            if (abortRequested(abortFlag))
                return SHRED_STATUS_ABORTED;
            size_t length = static_cast<size_t>(std::min<uint64_t>(sizer.current(), size - offset));
            const uint8_t* data;
            if (randomData) {
                if (!random.fill(transfer[turn].data(), length))
                    return ENGINE_STATUS_NO_RESOURCES;
                data = transfer[turn].data();
                turn ^= 1;
            } else {
                data = patterns.at(pass, offset);
            }
            if (int32_t status = finishWrite())
                return status;
            if (abortRequested(abortFlag))
                return SHRED_STATUS_ABORTED;
            io.start(
                [&device, data, length, offset] { return device.writeAt(data, length, offset); });
            pendingOffset = offset;
            pendingLength = length;
            if (!randomData) {
                if (int32_t status = finishWrite())
                    return status;
            }
            offset += length;
        }
        if (int32_t status = finishWrite())
            return status;
        if (int rc = device.sync())
            return writeFailureStatus(rc);
        if (observer)
            observer->passFinished(index, pass);
    }

    if (options.verify) {
        if (observer)
            observer->verificationStarted();
        const Pass& last = plan.back();
        if (last.kind == PassKind::Random && !random.restart())
            return ENGINE_STATUS_NO_RESOURCES;
        patterns.invalidate();
        // The next block is read while this one is compared.
        auto readInto = [&](int slot, uint64_t offset, size_t length) {
            uint8_t* data = transfer[slot].data();
            io.start(
                [&device, data, length, offset] { return device.readAt(data, length, offset); });
        };
        int turn = 0;
        uint64_t offset = 0;
        size_t length = static_cast<size_t>(std::min<uint64_t>(sizer.current(), size));
        if (abortRequested(abortFlag))
            return SHRED_STATUS_ABORTED;
        readInto(turn, offset, length);
        while (length > 0) {
            IoWorker::Result done = io.wait();
            if (done.error)
                return SHRED_STATUS_FAILED_MEDIA;
            sizer.observe(done.took, length);
            const uint64_t nextOffset = offset + length;
            const size_t nextLength =
                static_cast<size_t>(std::min<uint64_t>(sizer.current(), size - nextOffset));
            if (abortRequested(abortFlag))
                return SHRED_STATUS_ABORTED;
            if (nextLength > 0)
                readInto(turn ^ 1, nextOffset, nextLength);
            const uint8_t* expected;
            if (last.kind == PassKind::Random) {
                if (!random.fill(work.data(), length))
                    return ENGINE_STATUS_NO_RESOURCES;
                expected = work.data();
            } else {
                expected = patterns.at(last, offset);
            }
            if (std::memcmp(transfer[turn].data(), expected, length) != 0)
                return SHRED_STATUS_FAILED_VERIFY;
            progress.add(length);
            if (progress.due())
                progress.report();
            turn ^= 1;
            offset = nextOffset;
            length = nextLength;
        }
    }
    progress.finish();
    return SHRED_STATUS_SHREDDED;
}

} // namespace kestrune::engine
