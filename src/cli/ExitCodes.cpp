#include "cli/ExitCodes.h"

#include <algorithm>

namespace kestrune::cli {

int exitCodeOfJob(JobStatus finalStatus, bool documentsWritten, bool formatBegan) {
    int code = ExitOtherFailure;
    switch (finalStatus) {
    case JobStatus::Shredded:
    case JobStatus::Formatted:
        code = ExitSuccess;
        break;
    case JobStatus::FailedFormat:
        code = formatBegan ? ExitFormatFailed : ExitOtherFailure;
        break;
    case JobStatus::FailedNotAuthorized:
        code = ExitNotAuthorized;
        break;
    case JobStatus::FailedNoDiskService:
        code = ExitNoDiskService;
        break;
    case JobStatus::FailedBusy:
    case JobStatus::FailedHeld:
        code = ExitDiskBusy;
        break;
    case JobStatus::FailedWriteProtected:
        code = ExitWriteProtected;
        break;
    case JobStatus::FailedCounterfeit:
        code = ExitCounterfeit;
        break;
    case JobStatus::FailedSystemDisk:
        // The engine's own check found what the command line refuses before it starts.
        code = ExitRefused;
        break;
    case JobStatus::Aborted:
        code = ExitAborted;
        break;
    case JobStatus::FailedMedia:
        code = ExitMediumFailure;
        break;
    case JobStatus::FailedWrite:
        code = ExitWriteError;
        break;
    case JobStatus::FailedPermission:
        code = ExitNoPermission;
        break;
    case JobStatus::FailedVerify:
        code = ExitVerificationFailed;
        break;
    case JobStatus::EngineMissing:
        code = ExitEngineMissing;
        break;
    default:
        break;
    }
    return documentsWritten ? code : std::max<int>(code, ExitReportNotWritten);
}

int worstExitCode(const std::vector<int>& codes) {
    return codes.empty() ? ExitSuccess : *std::max_element(codes.begin(), codes.end());
}

const std::vector<ExitCodeMeaning>& exitCodeMeanings() {
    static const std::vector<ExitCodeMeaning> meanings = {
        {ExitSuccess, "every disk was shredded, and formatted when that was asked for"},
        {ExitProgramFailure,
         "the program could not run: a component or the language files are missing, or the "
         "system's disks could not be read"},
        {ExitUsage, "the command line is wrong; nothing was done"},
        {ExitRefused,
         "a DISK was refused (unknown, a system disk, not removable, no medium, an ambiguous "
         "serial number); nothing was written"},
        {ExitNotConfirmed,
         "the question was not answered with yes, or there was no terminal to ask and no "
         "--yes; nothing was written"},
        {ExitNotVerified,
         "verify: a check of the record did not hold, or a file could not be read"},
        {ExitFormatFailed, "shredded, but formatting failed"},
        {ExitReportNotWritten,
         "shredded, but the report or its certificate could not be written (or signed, "
         "where signing is asked for)"},
        {ExitNotAuthorized, "not authorized to write the disk (polkit refused or was cancelled)"},
        {ExitNoDiskService, "the disk service udisks2 is not running"},
        {ExitDiskBusy,
         "the disk is busy: a volume could not be unmounted or another program holds it"},
        {ExitAborted, "aborted (Ctrl+C, SIGTERM or SIGHUP)"},
        {ExitMediumFailure, "the medium failed"},
        {ExitWriteError, "a write error"},
        {ExitNoPermission, "no permission to write the disk"},
        {ExitVerificationFailed, "the verification found different data"},
        {ExitEngineMissing, "the shred engine is missing"},
        {ExitOtherFailure, "any other failure"},
        {ExitWriteProtected, "the medium is write-protected"},
        {ExitCounterfeit,
         "the medium is smaller than it claims (probably counterfeit); what it really holds "
         "was erased"},
    };
    return meanings;
}

} // namespace kestrune::cli
