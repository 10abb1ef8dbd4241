#include "shred/JobFindings.h"

namespace kestrune {
namespace {

// As many as the engine's read-back lists at most, and what a counterfeit keeps.
constexpr std::size_t kMaxRanges = 512;
constexpr std::int64_t kMaxPasses = 1000;

ReportRange::Kind rangeKind(FindingEvent::Kind kind) {
    switch (kind) {
    case FindingEvent::Kind::RangeUnreadable:
        return ReportRange::Kind::Unreadable;
    case FindingEvent::Kind::RangeKept:
        return ReportRange::Kind::Kept;
    default:
        return ReportRange::Kind::ReadWrong;
    }
}

} // namespace

void JobFindings::take(const FindingEvent& finding) {
    using Kind = FindingEvent::Kind;
    switch (finding.kind) {
    case Kind::Capacity:
        usableBytes = static_cast<std::uint64_t>(finding.value);
        return;
    case Kind::Verified:
    case Kind::VerifyMismatch:
    case Kind::VerifyInterrupted:
        verification = finding.kind == Kind::Verified         ? ReportVerification::Passed
                       : finding.kind == Kind::VerifyMismatch ? ReportVerification::Failed
                                                              : ReportVerification::Interrupted;
        verifiedOffset = static_cast<std::uint64_t>(finding.value);
        return;
    case Kind::PassesDone:
        if (finding.value >= 0 && finding.value <= kMaxPasses)
            passesDone = static_cast<int>(finding.value);
        return;
    default:
        if (finding.offset >= 0 && finding.value > 0 && ranges.size() < kMaxRanges)
            ranges.push_back({rangeKind(finding.kind), static_cast<std::uint64_t>(finding.offset),
                              static_cast<std::uint64_t>(finding.value)});
        return;
    }
}

} // namespace kestrune
