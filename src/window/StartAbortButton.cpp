#include "window/StartAbortButton.h"

namespace kestrune {

std::optional<std::uint32_t> StartAbortButton::deviceNumberOf(quintptr controlId) {
    // Compared in full width, so an id that matches a row only in its low bits is no row's.
    if (controlId < kIdBase || controlId - kIdBase > kHighestDeviceNumber)
        return std::nullopt;
    return static_cast<std::uint32_t>(controlId - kIdBase);
}

StartAbortButton::Action StartAbortButton::press(const Row& row, bool askBeforeStart, Press kind) {
    if (kind == Press::DoubleClickSecond)
        return Action::Ignore;
    switch (row.state) {
    case JobState::Idle:
    case JobState::Finished:
    case JobState::Aborted:
        if (!row.hasMedium)
            return Action::ReportNoMedium;
        return askBeforeStart ? Action::Ask : Action::Start;
    case JobState::Running:
        return Action::Abort;
    }
    return Action::Ignore;
}

bool StartAbortButton::startStillWanted(bool confirmed, bool windowClosing, bool sameRecord,
                                        JobState stateAtPress, const Row& now) {
    return confirmed && !windowClosing && sameRecord && now.state == stateAtPress && now.hasMedium;
}

} // namespace kestrune
