#pragma once

namespace kestrune {

// When the insert-media prompt shows: while the device list is empty and the window is not
// closing. The widget keeps its own window and only applies the change asked for here;
// showing a shown prompt or hiding a hidden one changes nothing.
class InsertPromptRule {
public:
    enum class Event {
        ListEmpty,      // a scan left no rows
        ListFilled,     // a scan left rows
        VolumeArrived,  // the system announced a volume, before any scan listed it
        ClosingStarted, // the window waits for its jobs before it closes
        PauseKey,       // the user pressed Pause over the prompt
    };
    enum class Change { Keep, Show, Hide };

    // What the prompt does at this event while the window is (not) closing.
    static Change decide(Event event, bool windowClosing);
};

} // namespace kestrune
