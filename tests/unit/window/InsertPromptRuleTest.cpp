// When the insert-media prompt shows and hides, for every event, open or closing.
#include "window/InsertPromptRule.h"

#include <gtest/gtest.h>

using namespace kestrune;
using Event = InsertPromptRule::Event;
using Change = InsertPromptRule::Change;

TEST(InsertPromptRule, AnEmptyListAsksForADiskUnlessTheWindowCloses) {
    EXPECT_EQ(InsertPromptRule::decide(Event::ListEmpty, false), Change::Show);
    EXPECT_EQ(InsertPromptRule::decide(Event::ListEmpty, true), Change::Keep);
}

TEST(InsertPromptRule, EveryOtherEventHidesThePrompt) {
    for (bool closing : {false, true}) {
        for (Event event :
             {Event::ListFilled, Event::VolumeArrived, Event::ClosingStarted, Event::PauseKey})
            EXPECT_EQ(InsertPromptRule::decide(event, closing), Change::Hide)
                << static_cast<int>(event) << " closing " << closing;
    }
}
