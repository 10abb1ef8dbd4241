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
        EXPECT_EQ(StartAbortButton::press({state, true}, false), Action::Start);
        EXPECT_EQ(StartAbortButton::press({state, true}, true), Action::Ask);
        // A reader without a card never starts, whatever the question setting.
        EXPECT_EQ(StartAbortButton::press({state, false}, true), Action::ReportNoMedium);
    }
}

TEST(StartAbortButton, ARunningRowAbortsOnAnyPressButADoubleClicksSecond) {
    EXPECT_EQ(StartAbortButton::press({JobState::Running, true}, false), Action::Abort);
    EXPECT_EQ(StartAbortButton::press({JobState::Running, false}, true), Action::Abort);
    // It belongs to the first press: never aborts the job just started, nor starts one again.
    for (JobState state : {JobState::Idle, JobState::Running, JobState::Aborted})
        EXPECT_EQ(StartAbortButton::press({state, true}, false,
                                          StartAbortButton::Press::DoubleClickSecond),
                  Action::Ignore);
}

TEST(StartAbortButton, AnAgreedStartLapsesWhenAnythingChangedDuringTheQuestion) {
    const Row idle{JobState::Idle, true};
    EXPECT_TRUE(StartAbortButton::startStillWanted(true, false, true, JobState::Idle, idle));
    EXPECT_FALSE(StartAbortButton::startStillWanted(false, false, true, JobState::Idle, idle));
    EXPECT_FALSE(StartAbortButton::startStillWanted(true, true, true, JobState::Idle, idle));
    EXPECT_FALSE(StartAbortButton::startStillWanted(true, false, false, JobState::Idle, idle));
    // Started by another press meanwhile: never a second job on the same disk.
    EXPECT_FALSE(StartAbortButton::startStillWanted(true, false, true, JobState::Idle,
                                                    {JobState::Running, true}));
    EXPECT_FALSE(StartAbortButton::startStillWanted(true, false, true, JobState::Finished,
                                                    {JobState::Idle, true}));
    EXPECT_FALSE(StartAbortButton::startStillWanted(true, false, true, JobState::Idle,
                                                    {JobState::Idle, false}));
}
