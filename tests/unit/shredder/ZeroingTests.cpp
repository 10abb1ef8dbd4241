#include "TestDevices.h"

#include "base/AbortFlag.h"
#include "base/Zeroing.h"

#include <gtest/gtest.h>

using kestrune::AbortFlag;
using kestrune::blockio::writeZeros;
using kestrune::blockio::ZeroingOutcome;
using kestrune::engine::test::MemoryDevice;

namespace {

class CountingSyncs : public MemoryDevice {
public:
    using MemoryDevice::MemoryDevice;
    int sync() override {
        ++syncs;
        return MemoryDevice::sync();
    }
    int syncs = 0;
};

struct ZeroingCase {
    const char* name;
    uint64_t from, to;
    int writeError = 0, syncError = 0;
    int abortBeforeWrite = 0; // the abort is raised during the write before this one
    ZeroingOutcome::End end = ZeroingOutcome::End::Done;
    int writes = -1; // the device's write calls, where the case decides them
};

} // namespace

// Zeros cover the range and nothing else, in large blocks, synced, with progress from 0 to
// 100; a failure or an abort stops them where it happened and never reports 100 %.
TEST(Zeroing, WritesTheRangeInLargeBlocksAndStopsWhereAFailureOrAnAbortDoes) {
    constexpr uint64_t kMiB = 1 << 20;
    const ZeroingCase cases[] = {
        {"whole range", 512, 7 * kMiB + 512, 0, 0, 0, ZeroingOutcome::End::Done},
        {"empty range", 4096, 4096, 0, 0, 0, ZeroingOutcome::End::Done, 0},
        {"write fails", 0, 6 * kMiB, EIO, 0, 0, ZeroingOutcome::End::Failed, 1},
        {"sync fails", 0, 2 * kMiB, 0, EIO, 0, ZeroingOutcome::End::Failed},
        {"aborted", 0, 6 * kMiB, 0, 0, 3, ZeroingOutcome::End::Aborted, 2},
    };
    for (const ZeroingCase& c : cases) {
        SCOPED_TRACE(c.name);
        CountingSyncs device(8 * kMiB);
        device.writeError = c.writeError;
        device.syncError = c.syncError;
        AbortFlag abort;
        device.beforeWrite = [&](int write) {
            if (write + 1 == c.abortBeforeWrite)
                abort.raise();
        };
        std::vector<int> percents;
        const ZeroingOutcome outcome = writeZeros(
            device, c.from, c.to, [&](int percent) { percents.push_back(percent); },
            abort.address());

        EXPECT_EQ(outcome.end, c.end);
        EXPECT_EQ(outcome.error, c.writeError ? c.writeError : c.syncError);
        if (c.writes >= 0) {
            EXPECT_EQ(device.writes, c.writes);
        }
        uint64_t zeroedTo = c.from;
        for (size_t length : device.blockLengths)
            zeroedTo += length;
        if (c.end != ZeroingOutcome::End::Aborted && !c.writeError) {
            EXPECT_EQ(zeroedTo, c.to);
        }
        auto holds = [&](uint64_t from, uint64_t to, uint8_t byte) {
            return std::all_of(device.data.begin() + static_cast<std::ptrdiff_t>(from),
                               device.data.begin() + static_cast<std::ptrdiff_t>(to),
                               [byte](uint8_t b) { return b == byte; });
        };
        EXPECT_TRUE(holds(0, c.from, 0x5A));
        EXPECT_TRUE(holds(c.from, zeroedTo, 0));
        EXPECT_TRUE(holds(zeroedTo, device.data.size(), 0x5A));
        // Blocks of a MiB at first, growing on a quick medium; only the last one is shorter.
        for (size_t i = 0; i + 1 < device.blockLengths.size(); ++i)
            EXPECT_GE(device.blockLengths[i], kMiB);
        ASSERT_FALSE(percents.empty());
        EXPECT_EQ(percents.front(), 0);
        EXPECT_TRUE(std::is_sorted(percents.begin(), percents.end()));
        EXPECT_EQ(percents.back() == 100, c.end == ZeroingOutcome::End::Done);
        EXPECT_EQ(device.syncs > 0, c.end != ZeroingOutcome::End::Aborted && !c.writeError);
    }
}
