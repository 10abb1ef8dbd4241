#pragma once

#include "shred/EngineEvents.h"
#include "shred/ShredReport.h"

#include <cstdint>
#include <optional>
#include <vector>

namespace kestrune {

// What the engine found out about the medium, as the job's report states it.
struct JobFindings {
    std::optional<std::uint64_t> usableBytes; // from the capacity check, when it reported
    ReportVerification verification = ReportVerification::NotReached;
    // Where the read-back found the first difference, or how far it got when interrupted.
    std::uint64_t verifiedOffset = 0;
    std::optional<int> passesDone;   // as the engine counted them
    std::vector<ReportRange> ranges; // as the engine named them, in order

    // Keeps one finding; a value out of reason is dropped.
    void take(const FindingEvent& finding);
};

} // namespace kestrune
