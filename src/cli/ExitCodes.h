#pragma once

#include "shred/JobStatus.h"

#include <cstdint>
#include <vector>

namespace kestrune::cli {

// What the program tells a script. From 10 on the codes are outcomes of jobs, from the
// mildest to the gravest, so that a run on several disks can end with the highest.
enum ExitCode : int {
    ExitSuccess = 0,
    ExitProgramFailure = 1,
    ExitUsage = 2,
    ExitRefused = 3,
    ExitNotConfirmed = 4,
    ExitNotVerified = 5,
    ExitFormatFailed = 10,
    ExitReportNotWritten = 11,
    ExitNotAuthorized = 12,
    ExitNoDiskService = 13,
    ExitDiskBusy = 14,
    ExitAborted = 15,
    ExitMediumFailure = 16,
    ExitWriteError = 17,
    ExitNoPermission = 18,
    ExitVerificationFailed = 19,
    ExitEngineMissing = 20,
    ExitOtherFailure = 21,
    ExitWriteProtected = 22,
    ExitCounterfeit = 23,
};

// The code of one disk's job: its final status, and whether
// its documents (the report, and the certificate unless turned off) reached the disk. A -7
// without the job's own format is the engine's code, no failed format.
int exitCodeOfJob(JobStatus finalStatus, bool documentsWritten, bool formatBegan = true);
// Several disks: the highest of their codes.
int worstExitCode(const std::vector<int>& codes);

struct ExitCodeMeaning {
    int code;
    const char* meaning;
};
// Every code and what it means, as the help and the manual page list them.
const std::vector<ExitCodeMeaning>& exitCodeMeanings();

} // namespace kestrune::cli
