// Closing the window while jobs run: when it asks, how long it waits, when it gives up,
// which jobs it aborts and how it names the disks it leaves unfinished.
#include "window/CloseWithJobs.h"

#include <gtest/gtest.h>

using namespace kestrune;
using namespace std::chrono_literals;
using Tick = CloseWithJobs::Tick;

TEST(CloseWithJobs, AsksOnlyWhenJobsRunAndTheUserMayRefuse) {
    EXPECT_TRUE(CloseWithJobs::mustAsk(1, false));
    EXPECT_TRUE(CloseWithJobs::mustAsk(3, false));
    EXPECT_FALSE(CloseWithJobs::mustAsk(0, false));
    // A terminating signal or an ending session closes without a question.
    EXPECT_FALSE(CloseWithJobs::mustAsk(2, true));

    EXPECT_TRUE(CloseWithJobs::agreesToAbort(true, false));
    EXPECT_FALSE(CloseWithJobs::agreesToAbort(false, false));
    // The question was dismissed by the termination itself: it counts as Yes.
    EXPECT_TRUE(CloseWithJobs::agreesToAbort(false, true));
}

TEST(CloseWithJobs, WithoutJobsTheWindowClosesAtOnce) {
    CloseWithJobs close;
    EXPECT_FALSE(close.begin(1, 0, CloseWithJobs::Clock::now()));
    EXPECT_FALSE(close.closing());
}

TEST(CloseWithJobs, WaitsUntilTheJobsEndAndKeepsTheResult) {
    CloseWithJobs close;
    close.setWait(10s);
    const auto start = CloseWithJobs::Clock::time_point{} + 1h;
    ASSERT_TRUE(close.begin(2, 1, start));
    EXPECT_TRUE(close.closing());
    // A second close while waiting starts nothing new and keeps the first result.
    EXPECT_TRUE(close.begin(5, 1, start + 1s));
    EXPECT_EQ(close.tick(1, start + 9s), Tick::KeepWaiting);
    EXPECT_EQ(close.tick(0, start + 9s), Tick::Close);
    // Closing holds until the window has finished with it, so clicks meanwhile stay ignored.
    EXPECT_TRUE(close.closing());
    EXPECT_EQ(close.finish(), 2);
    EXPECT_FALSE(close.closing());
}

TEST(CloseWithJobs, GivesUpOnJobsThatOutliveTheWait) {
    CloseWithJobs close;
    close.setWait(500ms);
    const auto start = CloseWithJobs::Clock::time_point{} + 1h;
    ASSERT_TRUE(close.begin(0, 2, start));
    EXPECT_EQ(close.tick(2, start + 499ms), Tick::KeepWaiting);
    EXPECT_EQ(close.tick(1, start + 500ms), Tick::GiveUp);
    // Jobs that ended just in time are no failure, however late the tick.
    EXPECT_EQ(close.tick(0, start + 1h), Tick::Close);

    // A later close measures its wait afresh.
    close.finish();
    ASSERT_TRUE(close.begin(0, 1, start + 2h));
    EXPECT_EQ(close.tick(1, start + 2h + 100ms), Tick::KeepWaiting);
}

TEST(CloseWithJobs, NamesUnfinishedDisksByMakerModelAndPath) {
    RowDisk named;
    named.device = QStringLiteral("Acme Stick");
    named.path = QStringLiteral("/dev/sdx");
    EXPECT_EQ(CloseWithJobs::describeDisk(named), QStringLiteral("Acme Stick (/dev/sdx)"));
    RowDisk productOnly;
    productOnly.device = QStringLiteral("Card");
    productOnly.path = QStringLiteral("/dev/sdy");
    EXPECT_EQ(CloseWithJobs::describeDisk(productOnly), QStringLiteral("Card (/dev/sdy)"));
    RowDisk anonymous;
    anonymous.path = QStringLiteral("/dev/sdz");
    EXPECT_EQ(CloseWithJobs::describeDisk(anonymous), QStringLiteral("/dev/sdz"));
}

TEST(CloseWithJobs, TheUnfinishedMessageListsEveryDisk) {
    const QStringList disks{QStringLiteral("A (/dev/sdx)"), QStringLiteral("/dev/sdy")};
    EXPECT_EQ(CloseWithJobs::unfinishedMessage(QStringLiteral("Left: %s. 100%% sure"), disks),
              QStringLiteral("Left: A (/dev/sdx)\n/dev/sdy. 100% sure"));
    // A translation without a place for the list still names the disks, after its text.
    EXPECT_EQ(CloseWithJobs::unfinishedMessage(QStringLiteral("Jobs left unfinished."), disks),
              QStringLiteral("Jobs left unfinished.\n\nA (/dev/sdx)\n/dev/sdy"));
}
