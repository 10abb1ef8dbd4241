#include "TestDevices.h"

#include "shredengine/CapacityCheck.h"
#include "shredengine/ShredJob.h"

#include <gtest/gtest.h>

using namespace kestrune::engine;
using kestrune::engine::test::FakeStick;
using kestrune::engine::test::MemoryDevice;
using kestrune::testfs::BadBlock;
using kestrune::testfs::FlashOrder;
using kestrune::testfs::TestFsOptions;
using Past = kestrune::testfs::PastUsable;

namespace {

constexpr uint64_t MiB = 1 << 20;
constexpr uint64_t kClaimed = 64 * MiB;
constexpr uint64_t kOdd = 12 * MiB + 1536; // not even a whole 4 KiB

class NullSink : public ProgressSink {
public:
    void progress(int, int64_t, int64_t, double) override {}
};

JobOptions checkBlocks() {
    JobOptions options;
    options.initialBlock = 256 * 1024;
    options.minBlock = 4096;
    options.maxBlock = 1 << 20;
    options.reportInterval = std::chrono::milliseconds(0);
    return options;
}

int32_t runAlgorithm(BlockDevice& device, int32_t algorithm, JobOutcome& outcome,
                     const unsigned char* abortFlag = nullptr, JobOptions options = checkBlocks()) {
    std::vector<Pass> plan;
    EXPECT_TRUE(passPlan(algorithm, plan));
    NullSink sink;
    return runJob(device, plan, sink, abortFlag, options, outcome);
}

TestFsOptions stick(uint64_t usable, Past past = Past::Drop) {
    TestFsOptions o;
    o.size = kClaimed;
    o.usable = usable;
    o.pastUsable = past;
    return o;
}

struct FakeRow {
    const char* kind;
    TestFsOptions options;
    int32_t algorithm;
    int32_t status;
    uint64_t usable;
};

std::vector<FakeRow> fakeRows() {
    std::vector<FakeRow> rows;
    auto add = [&](const char* kind, TestFsOptions o, int32_t algorithm, int32_t status,
                   uint64_t usable) {
        rows.push_back({kind, o, algorithm, status, usable});
    };
    TestFsOptions o = stick(kOdd);
    o.cache = MiB;
    add("drops, 1 MiB cache", o, 100, SHRED_STATUS_FAILED_COUNTERFEIT, kOdd);
    o = stick(kOdd, Past::Wrap);
    add("wraps", o, 101, SHRED_STATUS_FAILED_COUNTERFEIT, kOdd);
    o.size = 24 * MiB;
    o.usable = 9 * MiB + 1536;
    o.cache = 8 * MiB; // more than is written past a part before it is read
    add("wraps behind a cache, small", o, 100, SHRED_STATUS_FAILED_COUNTERFEIT, o.usable);
    o = stick(kOdd, Past::Wrap);
    o.wrapOffset = 5 * MiB + 512;
    add("wraps with an offset", o, 100, SHRED_STATUS_FAILED_COUNTERFEIT, kOdd);
    add("wraps with an offset, three passes", o, 102, SHRED_STATUS_FAILED_COUNTERFEIT, kOdd);
    o = stick(12 * MiB);
    o.flashOrder = FlashOrder::Drop;
    add("flash in write order, dropped when used up", o, 100, SHRED_STATUS_FAILED_COUNTERFEIT,
        12 * MiB);
    o.flashOrder = FlashOrder::Reuse; // keeps the last 12 MiB written, wherever they went
    add("flash in write order, the oldest reused", o, 100, SHRED_STATUS_FAILED_COUNTERFEIT, 0);
    o = stick(kOdd);
    o.smallWriteLog = 4 * MiB;
    add("small writes in a log", o, 100, SHRED_STATUS_FAILED_COUNTERFEIT, kOdd);
    o = stick(kOdd);
    o.cache = 4 * MiB;
    o.readProtect = true;
    add("a cache that keeps what was read", o, 100, SHRED_STATUS_FAILED_COUNTERFEIT, kOdd);
    o = stick(12 * MiB, Past::KeepEnd);
    add("real flash at the end", o, 101, SHRED_STATUS_FAILED_COUNTERFEIT, 0);
    o = stick(0);
    o.cache = MiB;
    add("keeps nothing", o, 100, SHRED_STATUS_FAILED_COUNTERFEIT, 0);
    o = stick(kClaimed);
    o.cache = 4 * MiB;
    add("genuine behind a cache", o, 100, SHRED_STATUS_SHREDDED, kClaimed);
    o = stick(kClaimed);
    o.badBlock = BadBlock::Fails;
    o.badBlockAt = 30 * MiB + 4096;
    add("a bad block that fails", o, 100, SHRED_STATUS_FAILED_MEDIA, kClaimed);
    o.badBlock = BadBlock::Lies;
    o.badBlockAt = kClaimed - 4096; // under the last marker
    add("a bad block that lies under the last marker", o, 100, SHRED_STATUS_FAILED_VERIFY,
        kClaimed);
    o.badBlockAt = 0;
    add("a bad block that lies under the first marker", o, 101, SHRED_STATUS_FAILED_VERIFY,
        kClaimed);
    return rows;
}

} // namespace

// Every kind of fake a controller makes, by where it puts what it is given, and bad blocks:
// the verdict and the usable size, to the sector; every pass over the whole claimed size;
// what the fake keeps holds the last pass and no marker; a bad block is a failed
// verification or a medium error with its range, never a counterfeit.
TEST(CapacityCheck, EveryKindOfFakeAndBadBlock) {
    for (const FakeRow& row : fakeRows()) {
        SCOPED_TRACE(row.kind);
        FakeStick device(row.options);
        JobOutcome outcome;
        EXPECT_EQ(runAlgorithm(device, row.algorithm, outcome), row.status);
        EXPECT_EQ(outcome.usableBytes, row.usable);
        std::vector<Pass> plan;
        ASSERT_TRUE(passPlan(row.algorithm, plan));
        EXPECT_EQ(outcome.passesDone, plan.size());
        const uint64_t claimed = row.options.size;
        EXPECT_GE(device.bytesWritten, plan.size() * claimed);
        if (row.options.badBlock != BadBlock::None) {
            ASSERT_EQ(outcome.failedRanges.size(), 1u);
            const ByteRange& bad = outcome.failedRanges[0];
            EXPECT_LE(bad.offset, row.options.badBlockAt);
            EXPECT_GT(bad.offset + bad.length, row.options.badBlockAt);
            EXPECT_LE(bad.length, 16u << 10); // an unreadable one is read again in halves
            continue;
        }
        if (row.status == SHRED_STATUS_FAILED_COUNTERFEIT && row.usable != 0) {
            EXPECT_EQ(outcome.verification, JobOutcome::Verification::Passed);
        }
        // All it keeps, wherever that is, holds the last pass: zeros, or random data
        // without a marker's tag repeating every 32 bytes.
        const bool end = row.options.pastUsable == Past::KeepEnd;
        const uint64_t keptFrom = end ? claimed - row.options.usable : 0;
        const uint64_t kept = row.options.usable;
        std::vector<uint8_t> bytes(kept);
        ASSERT_EQ(device.readAt(bytes.data(), kept, keptFrom), 0);
        if (row.algorithm == 100) {
            EXPECT_EQ(std::count(bytes.begin(), bytes.end(), 0), long(kept));
        } else {
            size_t repeats = 0;
            for (size_t at = 0; at + 48 <= kept; at += 32)
                repeats += std::memcmp(&bytes[at], &bytes[at + 32], 16) == 0;
            EXPECT_EQ(repeats, 0u);
        }
        if (end) {
            ASSERT_FALSE(outcome.keptElsewhere.empty());
            EXPECT_EQ(outcome.keptElsewhere.back().offset + outcome.keptElsewhere.back().length,
                      claimed);
        }
    }
}

// A genuine stick behind a cache: the check moves nothing beside the job's own bytes but
// its markers' blocks, in a few dozen scattered requests.
TEST(CapacityCheck, AGenuineStickPaysLittle) {
    TestFsOptions o = stick(256 * MiB);
    o.size = 256 * MiB;
    o.cache = 8 * MiB;
    FakeStick device(o);
    JobOutcome outcome;
    EXPECT_EQ(runAlgorithm(device, ALGORITHM_ZERO, outcome, nullptr, JobOptions{}),
              SHRED_STATUS_SHREDDED);
    EXPECT_EQ(outcome.usableBytes, 256 * MiB);
    const uint64_t job = 2 * o.size;
    EXPECT_LE(device.bytesWritten + device.bytesRead - job, 512u * 1024);
    EXPECT_LE(device.scatteredWrites + device.scatteredReads, 2u * 8 + 4); // 8 markers
}

// An abort or a pulled stick while a fake is measured ends the job with its reason; what
// was found before stays for the report.
TEST(CapacityCheck, AnAbortOrAPulledStickWhileAFakeIsMeasured) {
    for (const bool pulled : {false, true}) {
        SCOPED_TRACE(pulled ? "pulled" : "aborted");
        FakeStick device(stick(5 * MiB));
        unsigned char abortFlag = 0;
        device.beforeWrite = [&](uint64_t written) {
            if (written <= kClaimed + 6 * MiB)
                return;
            if (pulled)
                device.gone = true;
            else
                __atomic_store_n(&abortFlag, 1, __ATOMIC_RELEASE);
        };
        JobOptions options = checkBlocks();
        options.mediumCheck = [&] { return device.gone ? SHRED_STATUS_FAILED_MEDIA : 0; };
        JobOutcome outcome;
        EXPECT_EQ(runAlgorithm(device, ALGORITHM_ZERO, outcome, &abortFlag, options),
                  pulled ? SHRED_STATUS_FAILED_MEDIA : SHRED_STATUS_ABORTED);
        EXPECT_FALSE(outcome.usableBytes.has_value());
        EXPECT_EQ(outcome.passesDone, 1u);
        EXPECT_EQ(outcome.verification, JobOutcome::Verification::Failed);
        EXPECT_FALSE(outcome.failedRanges.empty());
        EXPECT_LT(device.bytesWritten, kClaimed + 8 * MiB) << "the measurement went on";
    }
}

TEST(CapacityCheck, AMediumThatAnswersNothing) {
    MemoryDevice dead(8 << 20);
    dead.readError = EIO;
    JobOutcome outcome;
    EXPECT_EQ(runAlgorithm(dead, ALGORITHM_ZERO, outcome), SHRED_STATUS_FAILED_MEDIA);
    EXPECT_FALSE(outcome.usableBytes.has_value());
}
