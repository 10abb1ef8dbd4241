#pragma once

// What a job told its observers, in the numbers of the engine's status callback, so that a
// test states a job's turns as its engine and its row always did.

#include "shred/CVSKRMShredThread.h"

#include <functional>
#include <optional>

#include <kestrune/shred_abi.h>

namespace kestrune::test {

// The documents' outcomes after the final status, numbered as the job once reported them.
inline constexpr int kReportNotSaved = 600;
inline constexpr int kCertificateNotSaved = 601;
inline constexpr int kCertificateUnsigned = 602;

struct Turn {
    int status = 0;
    std::int64_t secondValue = 0;
    double speed = 0.0;
};

inline std::optional<Turn> turnOf(const JobEvent& event) {
    if (const auto* progress = std::get_if<ProgressEvent>(&event))
        return Turn{progress->percent, progress->bytesDone, progress->speed};
    if (const auto* format = std::get_if<FormattingEvent>(&event))
        return Turn{SHRED_STATUS_FORMATTING + format->percent};
    if (const auto* finding = std::get_if<FindingEvent>(&event))
        return Turn{SHRED_FINDING_FIRST + static_cast<int>(finding->kind), finding->value};
    if (const auto* end = std::get_if<EndedEvent>(&event))
        return Turn{code(end->status), end->detail};
    if (const auto* documents = std::get_if<DocumentsEvent>(&event)) {
        if (documents->reportNotSaved)
            return Turn{kReportNotSaved};
        if (documents->certificateNotSaved)
            return Turn{kCertificateNotSaved};
        if (documents->certificateUnsigned)
            return Turn{kCertificateUnsigned};
    }
    return std::nullopt;
}

// Hands each turn of the jobs it observes on.
class TurnObserver final : public JobObserver {
public:
    explicit TurnObserver(std::function<void(const Turn&)> onTurn) : onTurn_(std::move(onTurn)) {}
    void jobChanged(const CVSKRMShredThread&, const JobEvent& event, const JobProgress&,
                    const JobProgressChange&) override {
        if (const auto turn = turnOf(event))
            onTurn_(*turn);
    }

private:
    std::function<void(const Turn&)> onTurn_;
};

} // namespace kestrune::test
