// The machinery of the passes: progress and speed, block sizes, pattern buffers, the
// transfer thread and the device as the first pass writes it around a guest's blocks.
#pragma once

#include "shredengine/BlockDevice.h"
#include "shredengine/ShredJob.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <tuple>

namespace kestrune::engine::passes {

using Clock = std::chrono::steady_clock;

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
inline size_t firstDifference(const uint8_t* data, const uint8_t* expected, size_t length) {
    if (std::memcmp(data, expected, length) == 0)
        return length;
    size_t at = 0;
    while (data[at] == expected[at])
        ++at;
    return at;
}

// The index of the first byte that differs from the tile's pattern, or length.
inline size_t differenceFromTile(const uint8_t* data, size_t length, const uint8_t* tile) {
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

// The device as the last pass writes it while a guest rides on it: a write that covers a
// guest's block carries the guest's content there, in the same request.
class WithGuest final : public BlockDevice {
public:
    WithGuest(BlockDevice& device, const PassGuest* guest, size_t maxBlock)
        : device_(device), guest_(guest), scratch_(guest ? maxBlock : 0),
          block_(guest ? guest->reservedLength() : 0) {}
    explicit operator bool() const { return !guest_ || scratch_; }
    uint64_t size() const override { return device_.size(); }
    size_t alignment() const override { return device_.alignment(); }
    bool readOnly() const override { return device_.readOnly(); }
    bool direct() const override { return device_.direct(); }
    // Requests come one at a time (the job's thread or its one writer), so one scratch
    // buffer serves them all.
    int writeAt(const void* data, size_t length, uint64_t offset) override {
        if (!guest_)
            return device_.writeAt(data, length, offset);
        const std::vector<uint64_t>& blocks = guest_->reservedBlocks();
        auto it = std::lower_bound(blocks.begin(), blocks.end(),
                                   offset + 1 > block_ ? offset + 1 - block_ : 0);
        if (it == blocks.end() || *it >= offset + length || length > scratch_.size())
            return device_.writeAt(data, length, offset);
        std::memcpy(scratch_.data(), data, length);
        std::vector<uint8_t> content(block_);
        for (; it != blocks.end() && *it < offset + length; ++it) {
            guest_->fill(content.data(), *it);
            const uint64_t from = std::max(*it, offset);
            const uint64_t to = std::min(*it + block_, offset + length);
            std::memcpy(scratch_.data() + (from - offset), content.data() + (from - *it),
                        static_cast<size_t>(to - from));
        }
        return device_.writeAt(scratch_.data(), length, offset);
    }
    int readAt(void* data, size_t length, uint64_t offset) override {
        return device_.readAt(data, length, offset);
    }
    int sync() override { return device_.sync(); }

private:
    BlockDevice& device_;
    const PassGuest* guest_;
    AlignedBuffer scratch_;
    size_t block_;
};

} // namespace kestrune::engine::passes
