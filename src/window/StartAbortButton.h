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

    enum class Action {
        Ignore,         // nothing to do in this state
        ReportNoMedium, // a reader without a card: there is nothing to write
        Ask,            // start once the user has agreed
        Start,          // start at once
        Abort,          // ask the running job to stop
    };

    // A key press or a single click is meant; the second press of a mouse double click only
    // repeats the first, which has already started or aborted the job.
    enum class Press { Deliberate, DoubleClickSecond };

    // The row's disk as far as the press is concerned.
    struct Row {
        JobState state = JobState::Idle;
        bool hasMedium = true;
    };

    // The disk number a button's control id stands for; nothing for an id of no row.
    static std::optional<std::uint32_t> deviceNumberOf(quintptr controlId);
    // What a press does to `row`.
    static Action press(const Row& row, bool askBeforeStart, Press kind = Press::Deliberate);
    // Whether a start the user agreed to still applies: the question ran an event loop of
    // its own, in which the window may have begun to close, or the disk may have gone, been
    // replaced, started or lost its card.
    static bool startStillWanted(bool confirmed, bool windowClosing, bool sameRecord,
                                 JobState stateAtPress, const Row& now);
};

} // namespace kestrune
