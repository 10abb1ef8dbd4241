#include "DirectIo.h"
#include "TestFileSystem.h"

#include <chrono>
#include <condition_variable>
#include <gtest/gtest.h>
#include <mutex>
#include <thread>

using namespace kestrune::test;
using StallWhat = TestFileSystemOptions::StallWhat;

namespace {

// One read and one write issued while the flag exists, each on its own thread.
struct PendingRequests {
    std::mutex mutex;
    std::condition_variable changed;
    bool readDone = false;
    bool writeDone = false;
    ssize_t readResult = 0;
    ssize_t writeResult = 0;

    void finish(bool& done, ssize_t& result, ssize_t value) {
        std::lock_guard guard(mutex);
        done = true;
        result = value;
        changed.notify_all();
    }
    void waitFor(const bool& done) {
        std::unique_lock lock(mutex);
        changed.wait(lock, [&] { return done; });
    }
    // Whether the request is still pending after a while; only ever a lower bound on time.
    bool stillPendingAfterAWhile(const bool& done) {
        std::unique_lock lock(mutex);
        return !changed.wait_for(lock, std::chrono::milliseconds(300), [&] { return done; });
    }
};

class TestFsStall : public ::testing::TestWithParam<StallWhat> {};

TEST_P(TestFsStall, StalledRequestsCompleteOnlyOnceTheFlagIsGone) {
    KESTRUNE_SKIP_WITHOUT_TESTFS();
    const StallWhat what = GetParam();
    const AlignedBlock before = AlignedBlock::pattern(64 * KiB, 1);
    const AlignedBlock during = AlignedBlock::pattern(64 * KiB, 2);
    AlignedBlock readBuffer(64 * KiB);
    PendingRequests pending;
    // Declared before the file system: if the test fails, unmounting ends the requests,
    // and only then are the threads joined.
    std::jthread reader;
    std::jthread writer;
    Descriptor fd;

    TestFileSystemOptions options;
    options.directIo = true;
    options.stallWhat = what;
    TestFileSystem fs(options);
    ASSERT_TRUE(fs.mounted()) << fs.error().toStdString();
    // Buffered: with --direct-io even a read of cached data must reach the tool and stall.
    fd = openBuffered(fs.imagePath());
    ASSERT_TRUE(fd.valid()) << lastError().toStdString();
    ASSERT_EQ(writeAt(fd, before, 0), ssize_t(before.size()));

    ASSERT_TRUE(fs.stall(true));
    reader = std::jthread(
        [&] { pending.finish(pending.readDone, pending.readResult, readAt(fd, readBuffer, 0)); });
    writer = std::jthread(
        [&] { pending.finish(pending.writeDone, pending.writeResult, writeAt(fd, during, MiB)); });
    const bool readsStall = what != StallWhat::Writes;
    const bool writesStall = what != StallWhat::Reads;
    // The request not stalled is answered while the other one hangs.
    if (!readsStall)
        pending.waitFor(pending.readDone);
    if (!writesStall)
        pending.waitFor(pending.writeDone);
    if (readsStall) {
        EXPECT_TRUE(pending.stillPendingAfterAWhile(pending.readDone));
    }
    if (writesStall) {
        EXPECT_TRUE(pending.stillPendingAfterAWhile(pending.writeDone));
    }

    ASSERT_TRUE(fs.stall(false));
    pending.waitFor(pending.readDone);
    pending.waitFor(pending.writeDone);
    EXPECT_EQ(pending.readResult, ssize_t(readBuffer.size()));
    EXPECT_TRUE(readBuffer.sameAs(before));
    EXPECT_EQ(pending.writeResult, ssize_t(during.size()));
    AlignedBlock written(64 * KiB);
    ASSERT_EQ(readAt(fd, written, MiB), ssize_t(written.size()));
    EXPECT_TRUE(written.sameAs(during));
}

INSTANTIATE_TEST_SUITE_P(What, TestFsStall,
                         ::testing::Values(StallWhat::Reads, StallWhat::Writes, StallWhat::All),
                         [](const ::testing::TestParamInfo<StallWhat>& param) {
                             return param.param == StallWhat::Reads    ? "Reads"
                                    : param.param == StallWhat::Writes ? "Writes"
                                                                       : "All";
                         });

TEST(TestFsRate, ReadsAndWritesTogetherTakeAtLeastTheirShareOfTime) {
    KESTRUNE_SKIP_WITHOUT_TESTFS();
    TestFileSystemOptions options;
    options.rate = 8 * MiB;
    options.directIo = true;
    TestFileSystem fs(options);
    ASSERT_TRUE(fs.mounted()) << fs.error().toStdString();
    // Buffered: with --direct-io the reads of data just written are not served from the cache.
    const Descriptor fd = openBuffered(fs.imagePath());
    ASSERT_TRUE(fd.valid()) << lastError().toStdString();

    const AlignedBlock block = AlignedBlock::pattern(256 * KiB, 3);
    AlignedBlock back(256 * KiB);
    const auto start = std::chrono::steady_clock::now();
    for (std::uint64_t offset = 0; offset < 4 * MiB; offset += block.size())
        ASSERT_EQ(writeAt(fd, block, offset), ssize_t(block.size()));
    for (std::uint64_t offset = 0; offset < 2 * MiB; offset += back.size())
        ASSERT_EQ(readAt(fd, back, offset), ssize_t(back.size()));
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

    // The tool lets a tenth of a second's worth through at once.
    const double burst = options.rate / 10.0;
    EXPECT_GE(seconds, (6.0 * MiB - burst) / options.rate * 0.98);
}

} // namespace
