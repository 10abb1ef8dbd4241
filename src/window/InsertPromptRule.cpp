#include "window/InsertPromptRule.h"

namespace kestrune {

InsertPromptRule::Change InsertPromptRule::decide(Event event, bool windowClosing) {
    switch (event) {
    case Event::ListEmpty:
        // A window that waits for its jobs to end asks for no new disk.
        return windowClosing ? Change::Keep : Change::Show;
    case Event::ListFilled:
    case Event::VolumeArrived:
    case Event::ClosingStarted:
    case Event::PauseKey:
        return Change::Hide;
    }
    return Change::Keep;
}

} // namespace kestrune
