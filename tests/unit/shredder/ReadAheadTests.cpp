#include "shredengine/ShredJob.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <vector>

using namespace kestrune::engine;

namespace {

// A memory disk that allows two reads at once and records how calls overlapped.
class SharedMemoryDevice : public BlockDevice {
public:
    explicit SharedMemoryDevice(size_t size) : data_(size, 0x5A) {}

    uint64_t size() const override { return data_.size(); }
    size_t alignment() const override { return 512; }
    bool readOnly() const override { return false; }
    bool direct() const override { return true; }
    bool concurrentReads() const override { return true; }

    int writeAt(const void* src, size_t length, uint64_t offset) override {
        Busy busy(writesInFlight_, maxWrites_);
        std::memcpy(data_.data() + offset, src, length);
        return 0;
    }
    int readAt(void* dst, size_t length, uint64_t offset) override {
        Busy busy(readsInFlight_, maxReads_);
        {
            // The first read waits a little for a second one, so overlap shows reliably.
            std::unique_lock lock(mutex_);
            if (++reads_ == 1)
                arrived_.wait_for(lock, std::chrono::seconds(2), [this] { return reads_ > 1; });
            else
                arrived_.notify_all();
            if (readError && reads_ > failAfterReads)
                return readError;
        }
        std::memcpy(dst, data_.data() + offset, length);
        if (offset <= flipAt && flipAt < offset + length)
            static_cast<uint8_t*>(dst)[flipAt - offset] ^= 0x01;
        return 0;
    }
    int sync() override { return 0; }

    int maxReads() const { return maxReads_; }
    int maxWrites() const { return maxWrites_; }
    int reads() {
        std::lock_guard lock(mutex_);
        return reads_;
    }

    uint64_t flipAt = UINT64_MAX;
    int readError = 0;
    int failAfterReads = 0;

private:
    struct Busy {
        Busy(std::atomic<int>& now, std::atomic<int>& max) : now_(now) {
            int n = ++now_;
            int seen = max.load();
            while (n > seen && !max.compare_exchange_weak(seen, n)) {
            }
        }
        ~Busy() { --now_; }
        std::atomic<int>& now_;
    };

    std::vector<uint8_t> data_;
    std::mutex mutex_;
    std::condition_variable arrived_;
    int reads_ = 0;
    std::atomic<int> readsInFlight_{0}, maxReads_{0};
    std::atomic<int> writesInFlight_{0}, maxWrites_{0};
};

class NoProgress : public ProgressSink {
public:
    void progress(int, int64_t, int64_t, double) override {}
};

JobOptions readAheadBlocks() {
    JobOptions options;
    options.initialBlock = 16 * 1024;
    options.minBlock = 4096;
    options.maxBlock = 64 * 1024;
    options.fastBlock = std::chrono::milliseconds(0); // keep the blocks small and many
    return options;
}

int32_t run(SharedMemoryDevice& device, const std::vector<Pass>& plan,
            const unsigned char* abortFlag = nullptr) {
    NoProgress sink;
    return runPasses(device, plan, sink, abortFlag, readAheadBlocks());
}

} // namespace

TEST(ReadAhead, OverlappingReadsStillCheckEveryByteInOrder) {
    for (const Pass& pass : {patternPass(0x00), patternPass(0x92, 0x49, 0x24), randomPass()}) {
        SharedMemoryDevice clean(1024 * 1024 + 1000);
        EXPECT_EQ(run(clean, {pass}), SHRED_STATUS_SHREDDED);
        EXPECT_EQ(clean.maxReads(), 2);
        EXPECT_EQ(clean.maxWrites(), 1); // writes stay one at a time, in order

        // First block, a block in the middle, the ragged end.
        for (uint64_t flip : {uint64_t{0}, uint64_t{500000}, uint64_t{1024 * 1024 + 999}}) {
            SharedMemoryDevice device(1024 * 1024 + 1000);
            device.flipAt = flip;
            EXPECT_EQ(run(device, {pass}), SHRED_STATUS_FAILED_VERIFY) << flip;
        }
    }
}

TEST(ReadAhead, AFailedReadOnEitherThreadIsAMediaFailure) {
    for (int after : {0, 1, 5}) {
        SharedMemoryDevice device(512 * 1024);
        device.readError = EIO;
        device.failAfterReads = after;
        EXPECT_EQ(run(device, {patternPass(0xFF)}), SHRED_STATUS_FAILED_MEDIA) << after;
    }
}

TEST(ReadAhead, AbortStopsTheReadsAhead) {
    SharedMemoryDevice device(4 * 1024 * 1024);
    unsigned char abortFlag = 0;
    struct AbortOnVerify : JobObserver {
        unsigned char* flag;
        void verificationStarted() override { __atomic_store_n(flag, 1, __ATOMIC_RELEASE); }
    } observer;
    observer.flag = &abortFlag;
    JobOptions options = readAheadBlocks();
    options.observer = &observer;
    NoProgress sink;
    EXPECT_EQ(runPasses(device, {patternPass(0)}, sink, &abortFlag, options), SHRED_STATUS_ABORTED);
    EXPECT_EQ(device.reads(), 0);
}
