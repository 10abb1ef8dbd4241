#include "cli/ExitCodes.h"

#include <algorithm>
#include <kestrune/shred_abi.h>

namespace kestrune::cli {

int exitCodeOfJob(std::int32_t finalStatus, bool documentsWritten, bool formatBegan) {
    int code = ExitOtherFailure;
    switch (finalStatus) {
    case SHRED_STATUS_SHREDDED:
    case SHRED_STATUS_FORMATTED:
        code = ExitSuccess;
        break;
    case SHRED_STATUS_FAILED_FORMAT:
        code = formatBegan ? ExitFormatFailed : ExitOtherFailure;
        break;
    case SHRED_STATUS_FAILED_NOT_AUTHORIZED:
        code = ExitNotAuthorized;
        break;
    case SHRED_STATUS_FAILED_NO_DISK_SERVICE:
        code = ExitNoDiskService;
        break;
    case SHRED_STATUS_FAILED_BUSY:
    case SHRED_STATUS_FAILED_HELD:
        code = ExitDiskBusy;
        break;
    case SHRED_STATUS_FAILED_WRITE_PROTECTED:
        code = ExitWriteProtected;
        break;
    case SHRED_STATUS_FAILED_COUNTERFEIT:
        code = ExitCounterfeit;
        break;
    case SHRED_STATUS_FAILED_SYSTEM_DISK:
        // The engine's own check found what the command line refuses before it starts.
        code = ExitRefused;
        break;
    case SHRED_STATUS_ABORTED:
        code = ExitAborted;
        break;
    case SHRED_STATUS_FAILED_MEDIA:
        code = ExitMediumFailure;
        break;
    case SHRED_STATUS_FAILED_WRITE:
        code = ExitWriteError;
        break;
    case SHRED_STATUS_FAILED_PERMISSION:
        code = ExitNoPermission;
        break;
    case SHRED_STATUS_FAILED_VERIFY:
        code = ExitVerificationFailed;
        break;
    case SHRED_STATUS_ENGINE_MISSING:
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
