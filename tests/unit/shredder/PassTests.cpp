#include "TestDevices.h"

#include "shredengine/ShredJob.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <set>

using namespace kestrune::engine;
using kestrune::engine::test::MemoryDevice;

namespace {

struct Report {
    int percent;
    int64_t left;
    int64_t done;
};

class RecordingSink : public ProgressSink {
public:
    void progress(int percent, int64_t left, int64_t done, double) override {
        reports.push_back({percent, left, done});
    }
    std::vector<Report> reports;
};

// Snapshots the device after every pass.
class Snapshots : public JobObserver {
public:
    explicit Snapshots(MemoryDevice& device) : device_(device) {}
    void passStarted(size_t, const Pass& pass) override { passes.push_back(pass); }
    void passFinished(size_t, const Pass&) override { contents.push_back(device_.data); }
    std::vector<Pass> passes;
    std::vector<std::vector<uint8_t>> contents;

private:
    MemoryDevice& device_;
};

JobOptions smallBlocks() {
    JobOptions options;
    options.initialBlock = 8192;
    options.minBlock = 4096;
    options.maxBlock = 64 * 1024;
    options.reportInterval = std::chrono::milliseconds(0);
    return options;
}

bool holdsPattern(const std::vector<uint8_t>& data, const Pass& pass) {
    for (size_t i = 0; i < data.size(); ++i) {
        if (data[i] != pass.pattern[i % 3])
            return false;
    }
    return true;
}

bool looksRandom(const std::vector<uint8_t>& data) {
    std::set<uint8_t> seen(data.begin(), data.end());
    return seen.size() > 200;
}

int32_t run(MemoryDevice& device, int32_t algorithm, JobOptions options = smallBlocks(),
            const unsigned char* abortFlag = nullptr) {
    std::vector<Pass> plan;
    EXPECT_TRUE(passPlan(algorithm, plan));
    RecordingSink sink;
    return runPasses(device, plan, sink, abortFlag, options);
}

} // namespace

TEST(PassPlan, SimpleAlgorithmsAndUnknownOnes) {
    std::vector<Pass> plan;
    ASSERT_TRUE(passPlan(ALGORITHM_ZERO, plan));
    EXPECT_EQ(plan, std::vector<Pass>{patternPass(0x00)});
    ASSERT_TRUE(passPlan(ALGORITHM_RANDOM, plan));
    EXPECT_EQ(plan, std::vector<Pass>{randomPass()});
    ASSERT_TRUE(passPlan(ALGORITHM_THREE_PASS, plan));
    EXPECT_EQ(plan, (std::vector<Pass>{patternPass(0x00), patternPass(0xFF), randomPass()}));
    EXPECT_FALSE(passPlan(99, plan));
    EXPECT_FALSE(passPlan(104, plan));
    EXPECT_FALSE(passPlan(0, plan));
}

TEST(PassPlan, GutmannHasRandomEndsAndAShuffledFixedMiddle) {
    std::vector<Pass> first, second;
    ASSERT_TRUE(passPlan(ALGORITHM_GUTMANN, first));
    ASSERT_TRUE(passPlan(ALGORITHM_GUTMANN, second));
    ASSERT_EQ(first.size(), 35u);
    for (size_t i : {0, 1, 2, 3, 31, 32, 33, 34})
        EXPECT_EQ(first[i].kind, PassKind::Random) << i;
    auto key = [](const Pass& p) {
        return std::make_tuple(p.pattern[0], p.pattern[1], p.pattern[2]);
    };
    std::multiset<std::tuple<uint8_t, uint8_t, uint8_t>> middle, canonical;
    for (size_t i = 4; i < 31; ++i) {
        EXPECT_EQ(first[i].kind, PassKind::Pattern);
        middle.insert(key(first[i]));
    }
    for (const Pass& p : gutmannPatterns())
        canonical.insert(key(p));
    EXPECT_EQ(middle, canonical);
    EXPECT_EQ(canonical.size(), 27u);
    EXPECT_EQ(canonical.count({0x92, 0x49, 0x24}), 2u);
    // Two shuffles agreeing by chance is practically impossible.
    EXPECT_NE(first, second);
}

TEST(Passes, ThreePassWritesZeroThenOnesThenRandomAndVerifies) {
    MemoryDevice device(300 * 1024 + 700);
    Snapshots snapshots(device);
    JobOptions options = smallBlocks();
    options.observer = &snapshots;
    EXPECT_EQ(run(device, ALGORITHM_THREE_PASS, options), SHRED_STATUS_SHREDDED);
    ASSERT_EQ(snapshots.contents.size(), 3u);
    EXPECT_TRUE(holdsPattern(snapshots.contents[0], patternPass(0x00)));
    EXPECT_TRUE(holdsPattern(snapshots.contents[1], patternPass(0xFF)));
    EXPECT_TRUE(looksRandom(snapshots.contents[2]));
    EXPECT_EQ(device.data, snapshots.contents[2]);
}

TEST(Passes, GutmannWritesEveryPatternInPhaseAcrossBlocks) {
    MemoryDevice device(100 * 1024 + 5);
    Snapshots snapshots(device);
    JobOptions options = smallBlocks();
    options.observer = &snapshots;
    EXPECT_EQ(run(device, ALGORITHM_GUTMANN, options), SHRED_STATUS_SHREDDED);
    ASSERT_EQ(snapshots.passes.size(), 35u);
    ASSERT_EQ(snapshots.contents.size(), 35u);
    for (size_t i = 0; i < 35; ++i) {
        const Pass& pass = snapshots.passes[i];
        if (pass.kind == PassKind::Random)
            EXPECT_TRUE(looksRandom(snapshots.contents[i])) << i;
        else
            EXPECT_TRUE(holdsPattern(snapshots.contents[i], pass)) << i;
    }
    // Each random pass has its own key.
    EXPECT_NE(snapshots.contents[0], snapshots.contents[1]);
}

TEST(Passes, ProgressIsMonotonicCoversTheWholeJobAndEndsAt100) {
    MemoryDevice device(256 * 1024);
    std::vector<Pass> plan;
    ASSERT_TRUE(passPlan(ALGORITHM_THREE_PASS, plan));
    RecordingSink sink;
    ASSERT_EQ(runPasses(device, plan, sink, nullptr, smallBlocks()), SHRED_STATUS_SHREDDED);
    ASSERT_GT(sink.reports.size(), 10u);
    const int64_t total = 4 * 256 * 1024; // three passes and the read-back
    EXPECT_EQ(sink.reports.front().percent, 0);
    EXPECT_EQ(sink.reports.front().left, total);
    for (size_t i = 1; i < sink.reports.size(); ++i) {
        EXPECT_GE(sink.reports[i].percent, sink.reports[i - 1].percent);
        EXPECT_LE(sink.reports[i].left, sink.reports[i - 1].left);
        EXPECT_EQ(sink.reports[i].left + sink.reports[i].done, total);
    }
    EXPECT_EQ(sink.reports.back().percent, 100);
    EXPECT_EQ(sink.reports.back().left, 0);
    auto hundreds = std::count_if(sink.reports.begin(), sink.reports.end(),
                                  [](const Report& r) { return r.percent == 100; });
    EXPECT_EQ(hundreds, 1);
}

TEST(Passes, StatusCallbackSinkMapsPercentIntoItsRange) {
    struct Seen {
        int32_t number, status;
    };
    static std::vector<Seen> seen;
    seen.clear();
    auto callback = [](void* context, int32_t number, int32_t status, int64_t, int64_t, double) {
        EXPECT_EQ(context, &seen);
        seen.push_back({number, status});
    };
    StatusCallbackSink engine(callback, &seen, 7);
    StatusCallbackSink format(callback, &seen, 3, 300, 95);
    engine.progress(42, 0, 0, 0);
    format.progress(100, 0, 0, 0);
    format.progress(0, 0, 0, 0);
    ASSERT_EQ(seen.size(), 3u);
    EXPECT_EQ(seen[0].number, 7);
    EXPECT_EQ(seen[0].status, 42);
    EXPECT_EQ(seen[1].number, 3);
    EXPECT_EQ(seen[1].status, 395);
    EXPECT_EQ(seen[2].status, 300);
}

TEST(Verification, CatchesAFlippedByteAfterPatternAndRandomPasses) {
    for (int32_t algorithm : {ALGORITHM_ZERO, ALGORITHM_RANDOM, ALGORITHM_THREE_PASS}) {
        MemoryDevice device(200 * 1024);
        device.flipAt = 123457;
        EXPECT_EQ(run(device, algorithm), SHRED_STATUS_FAILED_VERIFY) << algorithm;
    }
}

// A read-back that stops early tells how far it found the medium matching, for the
// certificate's "interrupted at byte N"; one never begun tells nothing.
TEST(Verification, AnInterruptedReadBackSaysHowFarItMatched) {
    // Reads fail from the fourth on, as from a medium that stopped answering.
    struct FailingReads : MemoryDevice {
        using MemoryDevice::MemoryDevice;
        int readAt(void* dst, size_t length, uint64_t offset) override {
            if (reads >= 3) {
                ++reads;
                if (firstFailed == UINT64_MAX)
                    firstFailed = offset;
                return EIO;
            }
            return MemoryDevice::readAt(dst, length, offset);
        }
        uint64_t firstFailed = UINT64_MAX;
    };
    FailingReads device(512 * 1024);
    std::vector<Pass> plan;
    ASSERT_TRUE(passPlan(ALGORITHM_RANDOM, plan));
    RecordingSink sink;
    JobOutcome outcome;
    EXPECT_EQ(runPasses(device, plan, sink, nullptr, smallBlocks(), &outcome),
              SHRED_STATUS_FAILED_MEDIA);
    EXPECT_TRUE(outcome.verificationStarted);
    // It went on past the unreadable blocks, and says where they are.
    EXPECT_EQ(outcome.verification, JobOutcome::Verification::Failed);
    ASSERT_FALSE(outcome.failedRanges.empty());
    EXPECT_TRUE(outcome.failedRanges[0].unreadable);
    EXPECT_EQ(outcome.failedRanges[0].offset, device.firstFailed);
    ASSERT_NE(device.firstFailed, UINT64_MAX);
    EXPECT_GT(device.firstFailed, 0u);
    EXPECT_EQ(outcome.verifiedBytes, device.firstFailed);

    MemoryDevice whole(128 * 1024);
    JobOutcome passed;
    EXPECT_EQ(runPasses(whole, plan, sink, nullptr, smallBlocks(), &passed), SHRED_STATUS_SHREDDED);
    EXPECT_EQ(passed.verifiedBytes, 128u * 1024);

    // Aborted before the read-back: it never began.
    MemoryDevice aborted(128 * 1024);
    unsigned char abortFlag = 1;
    JobOutcome early;
    EXPECT_EQ(runPasses(aborted, plan, sink, &abortFlag, smallBlocks(), &early),
              SHRED_STATUS_ABORTED);
    EXPECT_FALSE(early.verificationStarted);
}

TEST(Verification, ExposesAStickThatLiesAboutItsCapacity) {
    MemoryDevice device(128 * 1024);
    device.reported = 512 * 1024;
    EXPECT_EQ(run(device, ALGORITHM_RANDOM), SHRED_STATUS_FAILED_VERIFY);
}

TEST(Failures, AbortStopsBeforeTheNextBlock) {
    MemoryDevice device(4 * 1024 * 1024);
    unsigned char abortFlag = 0;
    int writesWhenSet = -1;
    device.beforeWrite = [&](int writes) {
        if (writes == 3) {
            __atomic_store_n(&abortFlag, 1, __ATOMIC_RELEASE);
            writesWhenSet = writes;
        }
    };
    JobOptions options = smallBlocks();
    options.maxBlock = 8192; // many blocks, so stopping late would show
    EXPECT_EQ(run(device, ALGORITHM_GUTMANN, options, &abortFlag), SHRED_STATUS_ABORTED);
    EXPECT_EQ(device.writes, writesWhenSet);
}

TEST(Failures, AbortDuringVerificationStopsReading) {
    MemoryDevice device(1024 * 1024);
    unsigned char abortFlag = 0;
    struct AbortOnVerify : JobObserver {
        unsigned char* flag;
        void verificationStarted() override { __atomic_store_n(flag, 1, __ATOMIC_RELEASE); }
    } observer;
    observer.flag = &abortFlag;
    JobOptions options = smallBlocks();
    options.observer = &observer;
    EXPECT_EQ(run(device, ALGORITHM_ZERO, options, &abortFlag), SHRED_STATUS_ABORTED);
    EXPECT_EQ(device.reads, 0);
}

TEST(Failures, VanishingMediumIsAMediaFailure) {
    for (int error : {ENODEV, ENXIO, EIO, ENOMEDIUM}) {
        MemoryDevice device(512 * 1024);
        device.writeError = error;
        device.failAfterWrites = 5;
        EXPECT_EQ(run(device, ALGORITHM_RANDOM), SHRED_STATUS_FAILED_MEDIA) << error;
        EXPECT_EQ(device.writes, 6);
    }
    MemoryDevice gone(512 * 1024);
    gone.readError = ENXIO;
    EXPECT_EQ(run(gone, ALGORITHM_ZERO), SHRED_STATUS_FAILED_MEDIA);
    MemoryDevice empty(0);
    EXPECT_EQ(run(empty, ALGORITHM_ZERO), SHRED_STATUS_FAILED_MEDIA);
}

TEST(Failures, RefusedWritesAndFailedSyncAreWriteErrors) {
    for (int error : {ENOSPC, EPERM}) {
        MemoryDevice device(256 * 1024);
        device.writeError = error;
        EXPECT_EQ(run(device, ALGORITHM_ZERO), SHRED_STATUS_FAILED_WRITE) << error;
    }
    MemoryDevice device(256 * 1024);
    device.syncError = ENOSPC;
    EXPECT_EQ(run(device, ALGORITHM_ZERO), SHRED_STATUS_FAILED_WRITE);
}

TEST(Failures, AWriteProtectedMediumSaysSoAndIsNeverWritten) {
    MemoryDevice device(256 * 1024);
    device.readOnlyFlag = true;
    EXPECT_EQ(run(device, ALGORITHM_GUTMANN), SHRED_STATUS_FAILED_WRITE_PROTECTED);
    EXPECT_EQ(device.writes, 0);
    EXPECT_TRUE(
        std::all_of(device.data.begin(), device.data.end(), [](uint8_t b) { return b == 0x5A; }));
    // A medium that turns read-only under the job.
    MemoryDevice locked(256 * 1024);
    locked.writeError = EROFS;
    locked.failAfterWrites = 2;
    EXPECT_EQ(run(locked, ALGORITHM_RANDOM), SHRED_STATUS_FAILED_WRITE_PROTECTED);
}

TEST(Failures, AMediumThatShrinksOrGoesMidJobIsAMediaFailureWhateverTheErrno) {
    for (int error : {ENOSPC, EINVAL, EPERM}) {
        MemoryDevice device(512 * 1024);
        device.writeError = error;
        device.failAfterWrites = 3;
        JobOptions options = smallBlocks();
        options.mediumCheck = [&device] {
            return device.writes > 3 ? SHRED_STATUS_FAILED_MEDIA : 0;
        };
        EXPECT_EQ(run(device, ALGORITHM_ZERO, options), SHRED_STATUS_FAILED_MEDIA) << error;
    }
    // Writes that all succeed on an image whose file was cut short meanwhile.
    MemoryDevice cut(512 * 1024);
    JobOptions options = smallBlocks();
    int checks = 0;
    options.mediumCheck = [&checks] { return ++checks > 1 ? SHRED_STATUS_FAILED_MEDIA : 0; };
    EXPECT_EQ(run(cut, ALGORITHM_THREE_PASS, options), SHRED_STATUS_FAILED_MEDIA);
    EXPECT_EQ(checks, 2); // after the first pass and after the second
}

TEST(BlockSize, ShrinksOnASlowMediumAndGrowsOnAFastOne) {
    MemoryDevice slow(2 * 1024 * 1024);
    slow.writeDelayPer64k = std::chrono::microseconds(5000);
    JobOptions options;
    options.initialBlock = 1 << 20;
    options.minBlock = 64 * 1024;
    options.slowBlock = std::chrono::milliseconds(2);
    options.fastBlock = std::chrono::milliseconds(0);
    options.verify = false;
    EXPECT_EQ(run(slow, ALGORITHM_ZERO, options), SHRED_STATUS_SHREDDED);
    EXPECT_EQ(slow.blockLengths.front(), 1u << 20);
    EXPECT_EQ(
        (std::vector<size_t>(slow.blockLengths.begin(), slow.blockLengths.begin() + 6)),
        (std::vector<size_t>{1u << 20, 512u << 10, 256u << 10, 128u << 10, 64u << 10, 64u << 10}));
    EXPECT_EQ(slow.blockLengths.back(), 64u << 10);

    MemoryDevice fast(16 * 1024 * 1024);
    options = JobOptions{};
    // The byte-wise fake is slow in debug and sanitizer builds: every block counts as fast.
    options.fastBlock = std::chrono::seconds(10);
    options.slowBlock = std::chrono::seconds(20);
    options.verify = false;
    EXPECT_EQ(run(fast, ALGORITHM_ZERO, options), SHRED_STATUS_SHREDDED);
    EXPECT_EQ(*std::max_element(fast.blockLengths.begin(), fast.blockLengths.end()), 4u << 20);
    EXPECT_LE(jobBufferBytes(options), 16u << 20);
}

TEST(BlockSize, BuffersAboveTheJobLimitAreRefused) {
    MemoryDevice device(64 * 1024);
    JobOptions options;
    options.maxBlock = 16u << 20;
    std::vector<Pass> plan{patternPass(0)};
    RecordingSink sink;
    EXPECT_EQ(runPasses(device, plan, sink, nullptr, options), ENGINE_STATUS_BAD_REQUEST);
    EXPECT_EQ(device.writes, 0);
}

// The report and the certificate say how many passes reached the medium: only those
// written whole and synced count.
TEST(Passes, TheOutcomeCountsOnlyPassesThatReachedTheMedium) {
    auto passesDone = [](MemoryDevice& device, int32_t algorithm, JobOptions options,
                         const unsigned char* abortFlag, int32_t expected) {
        std::vector<Pass> plan;
        EXPECT_TRUE(passPlan(algorithm, plan));
        RecordingSink sink;
        JobOutcome outcome;
        EXPECT_EQ(runPasses(device, plan, sink, abortFlag, options, &outcome), expected);
        return outcome.passesDone;
    };
    MemoryDevice whole(128 * 1024);
    EXPECT_EQ(
        passesDone(whole, ALGORITHM_THREE_PASS, smallBlocks(), nullptr, SHRED_STATUS_SHREDDED), 3u);
    MemoryDevice flipped(128 * 1024);
    flipped.flipAt = 5000;
    EXPECT_EQ(passesDone(flipped, ALGORITHM_THREE_PASS, smallBlocks(), nullptr,
                         SHRED_STATUS_FAILED_VERIFY),
              3u);

    // Aborted as the second pass begins: one pass is on the medium.
    MemoryDevice aborted(128 * 1024);
    unsigned char abortFlag = 0;
    struct AbortOnSecondPass : JobObserver {
        unsigned char* flag = nullptr;
        void passStarted(size_t index, const Pass&) override {
            if (index == 1)
                __atomic_store_n(flag, 1, __ATOMIC_RELEASE);
        }
    } observer;
    observer.flag = &abortFlag;
    JobOptions options = smallBlocks();
    options.observer = &observer;
    EXPECT_EQ(passesDone(aborted, ALGORITHM_THREE_PASS, options, &abortFlag, SHRED_STATUS_ABORTED),
              1u);

    // A failed sync at the end of the first pass: that pass never counted.
    MemoryDevice unsynced(128 * 1024);
    unsynced.syncError = EIO;
    EXPECT_EQ(
        passesDone(unsynced, ALGORITHM_ZERO, smallBlocks(), nullptr, SHRED_STATUS_FAILED_MEDIA),
        0u);
}

namespace {

// Marks its blocks with a byte of their own and counts the writes that carried them.
class MarkingGuest final : public PassGuest {
public:
    explicit MarkingGuest(std::vector<uint64_t> blocks) : blocks_(std::move(blocks)) {}
    const std::vector<uint64_t>& reservedBlocks() const override { return blocks_; }
    size_t reservedLength() const override { return kLength; }
    void fill(uint8_t* out, uint64_t offset) const override {
        std::memset(out, static_cast<int>(0xC0 + offset % 7), kLength);
    }
    static constexpr size_t kLength = 6144; // not a whole number of the job's blocks

private:
    std::vector<uint64_t> blocks_;
};

} // namespace

// Only the last pass carries the guest's blocks, inside its own writes (no write of the
// guest's length alone); the read-back compares them, a block that reads back other bytes
// is a failed range, and afterwards the blocks hold the pass like the rest.
TEST(PassGuest, TheLastPassCarriesItsBlocksAndTheReadBackChecksThem) {
    const size_t size = (1 << 20) + 512;
    for (bool spoiled : {false, true}) {
        MemoryDevice device(size);
        MarkingGuest guest({0, 100000, 600000, size - MarkingGuest::kLength});
        if (spoiled)
            device.flipAt = 600100; // a guest block that reads back other bytes
        JobOptions options = smallBlocks();
        options.lastPassGuest = &guest;
        RecordingSink sink;
        JobOutcome outcome;
        const std::vector<Pass> plan{patternPass(0x11), randomPass()};
        EXPECT_EQ(runPasses(device, plan, sink, nullptr, options, &outcome),
                  spoiled ? SHRED_STATUS_FAILED_VERIFY : SHRED_STATUS_SHREDDED);
        EXPECT_EQ(outcome.passesDone, 2u);
        EXPECT_EQ(std::count(device.blockLengths.begin(), device.blockLengths.end(),
                             MarkingGuest::kLength),
                  4); // the blocks given the pass afterwards, no more
        EXPECT_LT(std::count(device.data.begin(), device.data.end(), 0x5A), 8192);
        if (!spoiled)
            continue;
        ASSERT_EQ(outcome.failedRanges.size(), 1u);
        EXPECT_EQ(outcome.failedRanges[0].offset, 600100u - 600100u % 512);
        EXPECT_EQ(outcome.mismatchOffset, outcome.failedRanges[0].offset);
    }
}
