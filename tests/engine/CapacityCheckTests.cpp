#include "TestDevices.h"

#include "shredengine/CapacityCheck.h"
#include "shredengine/ShredJob.h"

#include <gtest/gtest.h>

#include <map>
#include <set>

using namespace kestrune::engine;
using kestrune::engine::test::MemoryDevice;

namespace {

// A medium of any claimed size that stores only what is written to it, and counts.
class SparseDevice final : public BlockDevice {
public:
    explicit SparseDevice(uint64_t size) : size_(size) {}
    uint64_t size() const override { return size_; }
    size_t alignment() const override { return 512; }
    bool readOnly() const override { return false; }
    bool direct() const override { return true; }
    int writeAt(const void* data, size_t length, uint64_t offset) override {
        ++writes;
        bytesWritten += length;
        const auto* bytes = static_cast<const uint8_t*>(data);
        for (size_t at = 0; at < length; at += 512)
            blocks_[offset + at].assign(bytes + at, bytes + at + 512);
        return 0;
    }
    int readAt(void* data, size_t length, uint64_t offset) override {
        ++reads;
        auto* bytes = static_cast<uint8_t*>(data);
        for (size_t at = 0; at < length; at += 512) {
            auto it = blocks_.find(offset + at);
            if (it == blocks_.end())
                std::memset(bytes + at, 0, 512);
            else
                std::memcpy(bytes + at, it->second.data(), 512);
        }
        return 0;
    }
    int sync() override { return 0; }

    uint64_t writes = 0, reads = 0, bytesWritten = 0;

private:
    uint64_t size_;
    std::map<uint64_t, std::vector<uint8_t>> blocks_;
};

MemoryDevice counterfeit(size_t real, uint64_t claimed, bool drop) {
    MemoryDevice device(real);
    device.reported = claimed;
    device.dropPastEnd = drop;
    return device;
}

JobOptions smallBlocks() {
    JobOptions options;
    options.initialBlock = 64 * 1024;
    options.minBlock = 4096;
    options.maxBlock = 256 * 1024;
    options.reportInterval = std::chrono::milliseconds(0);
    return options;
}

class NullSink : public ProgressSink {
public:
    void progress(int, int64_t left, int64_t, double) override { lastLeft = left; }
    int64_t lastLeft = -1;
};

} // namespace

TEST(CapacityCheck, FindsTheRealSizeOfAStickThatWrapsWhateverThatSizeIs) {
    const uint64_t claimed = 64ull << 20;
    // Inside the head, just past it, odd multiples of a sector, half, just below the end.
    for (size_t real : {size_t(512 * 1024), size_t(3 << 20) + 512, size_t(7 << 20) + 4096 * 3,
                        size_t(11 << 20) - 1536, size_t(32 << 20), size_t(64 << 20) - 8192}) {
        MemoryDevice device = counterfeit(real, claimed, false);
        const CapacityCheck check = checkCapacity(device, nullptr);
        EXPECT_EQ(check.status, 0) << real;
        EXPECT_TRUE(check.counterfeit) << real;
        EXPECT_EQ(check.usable, real) << real;
    }
}

TEST(CapacityCheck, FindsWhereAStickThatLosesWritesStopsKeepingThem) {
    const uint64_t claimed = 64ull << 20;
    for (size_t real : {size_t(300 * 1024), size_t(5 << 20), size_t(9 << 20) + 2560,
                        size_t(40 << 20) + 4096, size_t(64 << 20) - 4096}) {
        MemoryDevice device = counterfeit(real, claimed, true);
        const CapacityCheck check = checkCapacity(device, nullptr);
        EXPECT_EQ(check.status, 0) << real;
        EXPECT_TRUE(check.counterfeit) << real;
        EXPECT_EQ(check.usable, real) << real;
    }
}

TEST(CapacityCheck, AGenuineMediumNeverTripsIt) {
    for (uint64_t size : {uint64_t(0), uint64_t(4096), uint64_t(9000), uint64_t(3 << 20) + 1000,
                          uint64_t(64 << 20), uint64_t(100 << 20) + 512}) {
        MemoryDevice device(static_cast<size_t>(size));
        const CapacityCheck check = checkCapacity(device, nullptr);
        EXPECT_EQ(check.status, 0) << size;
        EXPECT_FALSE(check.counterfeit) << size;
        EXPECT_EQ(check.usable, size) << size;
    }
}

// What the check costs on a stick of 64 GB, in what it writes and reads: tens of megabytes
// in about a thousand places, a few seconds on a slow stick.
TEST(CapacityCheck, OnALargeGenuineStickItWritesLittle) {
    SparseDevice device(64ull * 1000 * 1000 * 1000);
    const CapacityCheck check = checkCapacity(device, nullptr);
    EXPECT_FALSE(check.counterfeit);
    EXPECT_EQ(check.usable, device.size());
    EXPECT_LE(device.bytesWritten, 80ull << 20);
    EXPECT_LE(device.writes, 1200u);
    EXPECT_LE(device.reads, 1200u);
    EXPECT_GE(device.writes, 500u); // spread over the whole capacity, not just its start
}

TEST(CapacityCheck, AbortAndAMediumThatAnswersNothing) {
    MemoryDevice device(8 << 20);
    unsigned char abortFlag = 1;
    EXPECT_EQ(checkCapacity(device, &abortFlag).status, SHRED_STATUS_ABORTED);
    EXPECT_EQ(device.writes, 0);

    MemoryDevice dead(8 << 20);
    dead.readError = EIO;
    EXPECT_EQ(checkCapacity(dead, nullptr).status, SHRED_STATUS_FAILED_MEDIA);
    MemoryDevice gone(8 << 20);
    gone.writeError = ENODEV;
    EXPECT_EQ(checkCapacity(gone, nullptr).status, SHRED_STATUS_FAILED_MEDIA);
}

// Every algorithm: the check comes first, the passes overwrite all the stick really holds
// and verify it, and the job ends as counterfeit, never as shredded.
TEST(CapacityCheck, EveryAlgorithmEndsCounterfeitAfterErasingTheRealPart) {
    for (bool drop : {false, true}) {
        for (int32_t algorithm :
             {ALGORITHM_ZERO, ALGORITHM_RANDOM, ALGORITHM_THREE_PASS, ALGORITHM_GUTMANN}) {
            const size_t real = (3 << 20) + 512;
            MemoryDevice device = counterfeit(real, 16 << 20, drop);
            std::vector<Pass> plan;
            ASSERT_TRUE(passPlan(algorithm, plan));
            NullSink sink;
            JobOutcome outcome;
            EXPECT_EQ(runJob(device, plan, sink, nullptr, smallBlocks(), outcome),
                      SHRED_STATUS_FAILED_COUNTERFEIT)
                << algorithm << " " << drop;
            EXPECT_EQ(outcome.claimedBytes, 16u << 20);
            EXPECT_EQ(outcome.usableBytes, real);
            EXPECT_EQ(outcome.verification, JobOutcome::Verification::Passed);
            EXPECT_EQ(sink.lastLeft, 0);
            // No marker and nothing of the old contents is left.
            if (algorithm == ALGORITHM_ZERO) {
                EXPECT_TRUE(std::all_of(device.data.begin(), device.data.end(),
                                        [](uint8_t b) { return b == 0; }));
            } else {
                std::set<uint8_t> seen(device.data.begin(), device.data.end());
                EXPECT_EQ(seen.size(), 256u);
                // The old fill byte is no more frequent than any other.
                EXPECT_LT(std::count(device.data.begin(), device.data.end(), 0x5A),
                          static_cast<long>(device.data.size() / 128));
            }
        }
    }
}

TEST(CapacityCheck, AGenuineMediumShredsAsBeforeAndTheOutcomeSaysWhatTheReadBackFound) {
    MemoryDevice device(2 << 20);
    std::vector<Pass> plan;
    ASSERT_TRUE(passPlan(ALGORITHM_RANDOM, plan));
    NullSink sink;
    JobOutcome outcome;
    EXPECT_EQ(runJob(device, plan, sink, nullptr, smallBlocks(), outcome), SHRED_STATUS_SHREDDED);
    EXPECT_EQ(outcome.usableBytes, 2u << 20);
    EXPECT_EQ(outcome.verification, JobOutcome::Verification::Passed);

    MemoryDevice flipped(2 << 20);
    flipped.flipAt = 1234567;
    EXPECT_EQ(runJob(flipped, plan, sink, nullptr, smallBlocks(), outcome),
              SHRED_STATUS_FAILED_VERIFY);
    EXPECT_EQ(outcome.verification, JobOutcome::Verification::Failed);
    EXPECT_EQ(outcome.mismatchOffset, 1234567u);

    unsigned char abortFlag = 0;
    JobOptions options = smallBlocks();
    struct AbortOnSecondPass : JobObserver {
        unsigned char* flag;
        void passFinished(size_t, const Pass&) override {
            __atomic_store_n(flag, 1, __ATOMIC_RELEASE);
        }
    } observer;
    observer.flag = &abortFlag;
    options.observer = &observer;
    MemoryDevice aborted(2 << 20);
    EXPECT_EQ(runJob(aborted, plan, sink, &abortFlag, options, outcome), SHRED_STATUS_ABORTED);
    EXPECT_EQ(outcome.verification, JobOutcome::Verification::NotReached);
    EXPECT_EQ(outcome.usableBytes, 2u << 20);
}
