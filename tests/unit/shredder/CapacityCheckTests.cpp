#include "TestDevices.h"

#include "shredengine/CapacityCheck.h"
#include "shredengine/ShredJob.h"

#include <gtest/gtest.h>

#include <map>
#include <set>

using namespace kestrune::engine;
using kestrune::engine::test::FakeStick;
using kestrune::engine::test::MemoryDevice;
using Past = kestrune::testfs::PastUsable;

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

JobOptions checkBlocks() {
    JobOptions options;
    options.initialBlock = 64 * 1024;
    options.minBlock = 4096;
    options.maxBlock = 256 * 1024;
    options.reportInterval = std::chrono::milliseconds(0);
    return options;
}

struct Found {
    int32_t status = 0;
    uint64_t usable = 0;
    bool counterfeit = false;
};

// What the check finds without a pass to ride on: the markers read back at once and, when
// they show a loss already, the measurement.
Found checkWithoutPass(BlockDevice& device, const unsigned char* abortFlag = nullptr) {
    CapacityCheck check(device, abortFlag);
    Found found;
    found.status = check.begin();
    if (found.status == 0 && check.counterfeit())
        found.status = check.measure();
    found.usable = check.usable();
    found.counterfeit = check.counterfeit();
    return found;
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
        const Found check = checkWithoutPass(device);
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
        const Found check = checkWithoutPass(device);
        EXPECT_EQ(check.status, 0) << real;
        EXPECT_TRUE(check.counterfeit) << real;
        EXPECT_EQ(check.usable, real) << real;
    }
}

TEST(CapacityCheck, AGenuineMediumNeverTripsIt) {
    for (uint64_t size : {uint64_t(0), uint64_t(4096), uint64_t(9000), uint64_t(3 << 20) + 1000,
                          uint64_t(64 << 20), uint64_t(100 << 20) + 512}) {
        MemoryDevice device(static_cast<size_t>(size));
        const Found check = checkWithoutPass(device);
        EXPECT_EQ(check.status, 0) << size;
        EXPECT_FALSE(check.counterfeit) << size;
        EXPECT_EQ(check.usable, size) << size;
    }
}

// What the check costs on a stick of 64 GB, in what it writes and reads of its own: markers
// in about a thousand places, each read twice, and tens of megabytes of its start read once;
// a few seconds on a slow stick. The first pass writes the rest of the markers' blocks.
TEST(CapacityCheck, OnALargeGenuineStickItWritesLittle) {
    SparseDevice device(64ull * 1000 * 1000 * 1000);
    CapacityCheck check(device, nullptr);
    ASSERT_EQ(check.begin(), 0);
    EXPECT_FALSE(check.counterfeit());
    EXPECT_FALSE(check.settled()) << "a cache could have answered";
    EXPECT_EQ(check.firstPassDone(), 0);
    EXPECT_TRUE(check.settled());
    EXPECT_FALSE(check.counterfeit());
    EXPECT_EQ(check.usable(), device.size());
    EXPECT_LE(device.bytesWritten, 8ull << 20);
    EXPECT_EQ(device.writes, check.reservedBlocks().size());
    EXPECT_LE(device.writes, 1200u);
    EXPECT_LE(device.reads, 2 * device.writes + 80);
    EXPECT_GE(device.writes, 500u); // spread over the whole capacity, not just its start
    EXPECT_EQ(check.reservedBlocks().back() + check.reservedLength(),
              device.size() - device.size() % 4096);
}

TEST(CapacityCheck, AbortAndAMediumThatAnswersNothing) {
    MemoryDevice device(8 << 20);
    unsigned char abortFlag = 1;
    EXPECT_EQ(checkWithoutPass(device, &abortFlag).status, SHRED_STATUS_ABORTED);
    EXPECT_EQ(device.writes, 0);

    MemoryDevice dead(8 << 20);
    dead.readError = EIO;
    EXPECT_EQ(checkWithoutPass(dead).status, SHRED_STATUS_FAILED_MEDIA);
    MemoryDevice gone(8 << 20);
    gone.writeError = ENODEV;
    EXPECT_EQ(checkWithoutPass(gone).status, SHRED_STATUS_FAILED_MEDIA);
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
            EXPECT_EQ(runJob(device, plan, sink, nullptr, checkBlocks(), outcome),
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
    EXPECT_EQ(runJob(device, plan, sink, nullptr, checkBlocks(), outcome), SHRED_STATUS_SHREDDED);
    EXPECT_EQ(outcome.usableBytes, 2u << 20);
    EXPECT_EQ(outcome.verification, JobOutcome::Verification::Passed);

    MemoryDevice flipped(2 << 20);
    flipped.flipAt = 1234567;
    EXPECT_EQ(runJob(flipped, plan, sink, nullptr, checkBlocks(), outcome),
              SHRED_STATUS_FAILED_VERIFY);
    EXPECT_EQ(outcome.verification, JobOutcome::Verification::Failed);
    EXPECT_EQ(outcome.mismatchOffset, 1234567u);

    unsigned char abortFlag = 0;
    JobOptions options = checkBlocks();
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

namespace {

struct CachedFake {
    Past past;
    uint64_t real;
    uint64_t cache;
};

std::string describe(const CachedFake& fake) {
    return std::string(fake.past == Past::Wrap ? "wraps" : "drops") + " past " +
           std::to_string(fake.real) + " with a cache of " + std::to_string(fake.cache);
}

// A whole job of the algorithm on the device.
int32_t runAlgorithm(BlockDevice& device, int32_t algorithm, JobOutcome& outcome,
                     const unsigned char* abortFlag = nullptr, JobOptions options = checkBlocks()) {
    std::vector<Pass> plan;
    EXPECT_TRUE(passPlan(algorithm, plan));
    NullSink sink;
    return runJob(device, plan, sink, abortFlag, options, outcome);
}

bool allZero(const std::vector<uint8_t>& bytes) {
    return std::all_of(bytes.begin(), bytes.end(), [](uint8_t b) { return b == 0; });
}

} // namespace

// Sticks whose controller answers reads of the last bytes written, whatever became of them:
// the markers read back at once all hold, and zeros read back as zeros. The first pass
// flushes the cache; the measurement trusts nothing a cache could have answered.
TEST(CapacityCheck, NoCacheHidesAFakeFromAJobOfZeros) {
    const uint64_t claimed = 64 << 20;
    const uint64_t odd = (12 << 20) + 1536;
    for (const CachedFake fake : {
             CachedFake{Past::Drop, odd, 128 << 10},
             CachedFake{Past::Drop, odd, 1 << 20},
             CachedFake{Past::Drop, odd, 8 << 20},
             CachedFake{Past::Wrap, odd, 128 << 10},
             CachedFake{Past::Wrap, odd, 1 << 20},
             CachedFake{Past::Wrap, odd, 8 << 20},
             CachedFake{Past::Drop, 0, 128 << 10}, // keeps nothing at all
             CachedFake{Past::Drop, 0, 1 << 20},
             CachedFake{Past::Drop, 0, 8 << 20},
             // A cache larger than all the stick keeps, and than the first sweep.
             CachedFake{Past::Wrap, (2 << 20) + 512, 8 << 20},
             CachedFake{Past::Drop, (2 << 20) + 512, 8 << 20},
         }) {
        SCOPED_TRACE(describe(fake));
        FakeStick stick(claimed, fake.real, fake.past, fake.cache);
        JobOutcome outcome;
        EXPECT_EQ(runAlgorithm(stick, ALGORITHM_ZERO, outcome), SHRED_STATUS_FAILED_COUNTERFEIT);
        EXPECT_EQ(outcome.claimedBytes, claimed);
        EXPECT_EQ(outcome.usableBytes, fake.real);
        if (fake.real == 0) {
            EXPECT_EQ(outcome.passesDone, 0u);
            EXPECT_EQ(outcome.verification, JobOutcome::Verification::NotReached);
            continue;
        }
        EXPECT_EQ(outcome.passesDone, 1u);
        EXPECT_EQ(outcome.verification, JobOutcome::Verification::Passed);
        EXPECT_TRUE(allZero(stick.peek(0, fake.real))) << "a marker is left on the stick";
    }
}

// Each algorithm, on fakes whose cache hides them from the first reading, erases all the
// stick keeps and leaves no marker in it.
TEST(CapacityCheck, EveryAlgorithmErasesWhatACachedFakeKeeps) {
    const uint64_t real = (3 << 20) + 512;
    for (Past past : {Past::Wrap, Past::Drop}) {
        for (int32_t algorithm : {ALGORITHM_RANDOM, ALGORITHM_THREE_PASS, ALGORITHM_GUTMANN}) {
            SCOPED_TRACE(std::to_string(algorithm) + (past == Past::Wrap ? " wraps" : " drops"));
            FakeStick stick(16 << 20, real, past, 1 << 20);
            JobOutcome outcome;
            EXPECT_EQ(runAlgorithm(stick, algorithm, outcome), SHRED_STATUS_FAILED_COUNTERFEIT);
            EXPECT_EQ(outcome.usableBytes, real);
            EXPECT_EQ(outcome.passesDone, algorithm == ALGORITHM_RANDOM       ? 1u
                                          : algorithm == ALGORITHM_THREE_PASS ? 3u
                                                                              : 35u);
            EXPECT_EQ(outcome.verification, JobOutcome::Verification::Passed);
            const std::vector<uint8_t> kept = stick.peek(0, real);
            std::set<uint8_t> seen(kept.begin(), kept.end());
            EXPECT_EQ(seen.size(), 256u);
            // A marker's chunk repeats its 16-byte tag every 32 bytes; random data never does.
            size_t repeats = 0;
            for (size_t at = 0; at + 48 <= kept.size(); at += 32)
                repeats += std::memcmp(&kept[at], &kept[at + 32], 16) == 0;
            EXPECT_EQ(repeats, 0u);
        }
    }
}

// A genuine stick behind a large cache: the check rides on the first pass, which fills the
// markers' blocks last, and moves little beside the job's own bytes.
TEST(CapacityCheck, AGenuineStickBehindACacheShredsAndTheCheckCostsLittle) {
    const uint64_t size = 256 << 20;
    FakeStick stick(size, size, Past::Wrap, 8 << 20);
    JobOutcome outcome;
    EXPECT_EQ(runAlgorithm(stick, ALGORITHM_ZERO, outcome, nullptr, JobOptions{}),
              SHRED_STATUS_SHREDDED);
    EXPECT_EQ(outcome.usableBytes, size);
    EXPECT_EQ(outcome.passesDone, 1u);
    EXPECT_EQ(outcome.verification, JobOutcome::Verification::Passed);
    const uint64_t job = 2 * size; // one pass and its read-back
    const uint64_t moved = stick.bytesWritten + stick.bytesRead;
    ASSERT_GE(moved, job);
    EXPECT_LE(moved - job, job / 50) << "the check moved more than 2 % beside the job";
}

// A marker that reads back wrong once and never again, and a sweep of the whole medium that
// all holds: the medium is whole after all, and shredded as such.
TEST(CapacityCheck, AMarkerMisreadOnceLeavesAWholeMediumWhole) {
    class MisreadOnce final : public MemoryDevice {
    public:
        using MemoryDevice::MemoryDevice;
        int readAt(void* dst, size_t length, uint64_t offset) override {
            const int rc = MemoryDevice::readAt(dst, length, offset);
            if (!misread && offset >= (4 << 20)) {
                static_cast<uint8_t*>(dst)[0] ^= 1;
                misread = true;
            }
            return rc;
        }
        bool misread = false;
    };
    MisreadOnce device(8 << 20);
    JobOutcome outcome;
    EXPECT_EQ(runAlgorithm(device, ALGORITHM_RANDOM, outcome), SHRED_STATUS_SHREDDED);
    EXPECT_TRUE(device.misread);
    EXPECT_EQ(outcome.usableBytes, 8u << 20);
    EXPECT_EQ(outcome.verification, JobOutcome::Verification::Passed);
}

// An abort while a caught fake is measured ends the job as aborted, with no usable size.
TEST(CapacityCheck, AnAbortWhileAFakeIsMeasured) {
    const uint64_t claimed = 32 << 20;
    FakeStick stick(claimed, 5 << 20, Past::Drop, 8 << 20);
    unsigned char abortFlag = 0;
    // Past the first pass, which wrote the whole claimed size.
    stick.beforeWrite = [&](uint64_t written) {
        if (written > claimed + (2 << 20))
            __atomic_store_n(&abortFlag, 1, __ATOMIC_RELEASE);
    };
    JobOutcome outcome;
    EXPECT_EQ(runAlgorithm(stick, ALGORITHM_ZERO, outcome, &abortFlag), SHRED_STATUS_ABORTED);
    EXPECT_FALSE(outcome.usableBytes.has_value());
    EXPECT_EQ(outcome.passesDone, 0u);
    EXPECT_LT(stick.bytesWritten, claimed + (4 << 20)) << "the measurement went on";
}
