#pragma once

#include <cstdint>

namespace kestrune {

// How a job ended, with the engine's numbers: reports and records store the number, so a
// code a replacement engine invents stays representable as JobStatus{code} and is shown as
// a failure with that number.
enum class JobStatus : std::int32_t {
    None = 0, // not ended yet
    Shredded = 200,
    Formatted = 400,
    EngineMissing = -1,
    Aborted = -3,
    FailedMedia = -4,
    FailedWrite = -5,
    FailedPermission = -6,
    FailedFormat = -7,
    FailedVerify = -8,
    FailedBusy = -9,
    // As a normal user: the system refused the disk (or the user cancelled), or its disk
    // service is not there to ask. Nothing was written.
    FailedNotAuthorized = -11,
    FailedNoDiskService = -12,
    FailedSystemDisk = -13, // the running system depends on the disk
    // The medium holds less than it claims; its usable part was overwritten and verified.
    FailedCounterfeit = -14,
    FailedWriteProtected = -15,
    FailedHeld = -16, // another program has the disk open or locked
    // A later start of the program found that the job's program ended before the job did.
    Interrupted = -17,
};

constexpr std::int32_t code(JobStatus status) {
    return static_cast<std::int32_t>(status);
}
// Every end but a complete shred or format, an abort included.
constexpr bool isFailure(JobStatus status) {
    return code(status) < 0;
}
// The medium was overwritten to its end (a format may have followed).
constexpr bool isErased(JobStatus status) {
    return status == JobStatus::Shredded || status == JobStatus::Formatted;
}

} // namespace kestrune
