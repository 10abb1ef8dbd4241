// What a press of a row's Start/Abort button does in each state, which control ids stand
// for a row, and when a start the user agreed to no longer applies.
#include "window/StartAbortButton.h"

#include <gtest/gtest.h>

using namespace kestrune;
using Action = StartAbortButton::Action;
using Row = StartAbortButton::Row;

TEST(StartAbortButton, OnlyTheThirtyTwoRowButtonsNameADisk) {
    EXPECT_EQ(StartAbortButton::deviceNumberOf(1124), 0u);
    EXPECT_EQ(StartAbortButton::deviceNumberOf(1155), 31u);
    EXPECT_FALSE(StartAbortButton::deviceNumberOf(1156));
    EXPECT_FALSE(StartAbortButton::deviceNumberOf(1123));
    EXPECT_FALSE(StartAbortButton::deviceNumberOf(0));
    // Ids that only match a row in their low 32 bits are no row's either.
    if constexpr (sizeof(quintptr) > 4) {
        EXPECT_FALSE(StartAbortButton::deviceNumberOf(quintptr(1) << 32 | 1124u));
    }
}

TEST(StartAbortButton, AnIdleFinishedOrAbortedRowStartsOrAsks) {
    for (JobState state : {JobState::Idle, JobState::Finished, JobState::Aborted}) {
        EXPECT_EQ(StartAbortButton::press({state, true, -1}, false, 10'000), Action::Start);
        EXPECT_EQ(StartAbortButton::press({state, true, -1}, true, 10'000), Action::Ask);
        // A reader without a card never starts, whatever the question setting.
        EXPECT_EQ(StartAbortButton::press({state, false, -1}, true, 10'000),
                  Action::ReportNoMedium);
        // A recent press does not hold back the next job.
        EXPECT_EQ(StartAbortButton::press({state, true, 9'900}, false, 10'000), Action::Start);
    }
}

TEST(StartAbortButton, ARunningRowAbortsButNotOnADoubleClicksSecondPress) {
    const Row running{JobState::Running, true, 10'000};
    EXPECT_EQ(StartAbortButton::press(running, false, 10'000), Action::Ignore);
    EXPECT_EQ(StartAbortButton::press(running, false, 10'499), Action::Ignore);
    EXPECT_EQ(StartAbortButton::press(running, false, 10'500), Action::Abort);
    // Pressing again while the job still runs repeats the request.
    EXPECT_EQ(StartAbortButton::press(running, true, 20'000), Action::Abort);
    // A job this window did not start (no press recorded) aborts at once, card or not.
    EXPECT_EQ(StartAbortButton::press({JobState::Running, false, -1}, false, 0), Action::Abort);
}

TEST(StartAbortButton, AnAgreedStartLapsesWhenAnythingChangedDuringTheQuestion) {
    const Row idle{JobState::Idle, true, -1};
    EXPECT_TRUE(StartAbortButton::startStillWanted(true, false, true, JobState::Idle, idle));
    EXPECT_FALSE(StartAbortButton::startStillWanted(false, false, true, JobState::Idle, idle));
    EXPECT_FALSE(StartAbortButton::startStillWanted(true, true, true, JobState::Idle, idle));
    EXPECT_FALSE(StartAbortButton::startStillWanted(true, false, false, JobState::Idle, idle));
    // Started by another press meanwhile: never a second job on the same disk.
    EXPECT_FALSE(StartAbortButton::startStillWanted(true, false, true, JobState::Idle,
                                                    {JobState::Running, true, -1}));
    EXPECT_FALSE(StartAbortButton::startStillWanted(true, false, true, JobState::Finished,
                                                    {JobState::Idle, true, -1}));
    EXPECT_FALSE(StartAbortButton::startStillWanted(true, false, true, JobState::Idle,
                                                    {JobState::Idle, false, -1}));
}
