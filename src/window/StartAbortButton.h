#pragma once

#include "devices/DeviceRecord.h"

#include <QtGlobal>
#include <cstdint>
#include <optional>

namespace kestrune {

// What a press of a row's Start/Abort button does, decided without a widget. The window
// carries the action out: it asks, starts the job or raises the abort flag.
class StartAbortButton {
public:
    // Row buttons are numbered from here on, one per disk number.
    static constexpr std::uint32_t kIdBase = 1124;
    static constexpr std::uint32_t kHighestDeviceNumber = 31;
    // A second press this soon after Start belongs to a double click.
    static constexpr std::int64_t kDoubleClickMs = 500;

    enum class Action {
        Ignore,         // nothing to do in this state
        ReportNoMedium, // a reader without a card: there is nothing to write
        Ask,            // start once the user has agreed
        Start,          // start at once
        Abort,          // ask the running job to stop
    };

    // The row's disk as far as the press is concerned.
    struct Row {
        JobState state = JobState::Idle;
        bool hasMedium = true;
        std::int64_t startPressedAtMs = -1; // when Start was last pressed, steady ms
    };

    // The disk number a button's control id stands for; nothing for an id of no row.
    static std::optional<std::uint32_t> deviceNumberOf(quintptr controlId);
    // What a press does to `row` at `nowMs` (steady ms).
    static Action press(const Row& row, bool askBeforeStart, std::int64_t nowMs);
    // Whether a start the user agreed to still applies: the question ran an event loop of
    // its own, in which the window may have begun to close, or the disk may have gone, been
    // replaced, started or lost its card.
    static bool startStillWanted(bool confirmed, bool windowClosing, bool sameRecord,
                                 JobState stateAtPress, const Row& now);
};

} // namespace kestrune
