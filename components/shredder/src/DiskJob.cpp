#include "shredengine/DiskJob.h"

namespace kestrune::engine {

namespace {

void reportFindings(const JobOutcome& outcome, ShredStatusCallback callback, void* context,
                    int32_t deviceNumber) {
    if (!callback)
        return;
    auto report = [&](int32_t finding, uint64_t value) {
        callback(context, deviceNumber, finding, 0, static_cast<int64_t>(value), 0.0);
    };
    report(SHRED_FINDING_PASSES_DONE, outcome.passesDone);
    if (outcome.usableBytes)
        report(SHRED_FINDING_CAPACITY, *outcome.usableBytes);
    auto reportRange = [&](int32_t finding, const ByteRange& range) {
        callback(context, deviceNumber, finding, static_cast<int64_t>(range.offset),
                 static_cast<int64_t>(range.length), 0.0);
    };
    for (const ByteRange& range : outcome.failedRanges)
        reportRange(range.unreadable ? SHRED_FINDING_RANGE_UNREADABLE : SHRED_FINDING_RANGE_WRONG,
                    range);
    for (const ByteRange& range : outcome.keptElsewhere)
        reportRange(SHRED_FINDING_RANGE_KEPT, range);
    if (outcome.verification == JobOutcome::Verification::Passed)
        report(SHRED_FINDING_VERIFIED, 0);
    else if (outcome.verification == JobOutcome::Verification::Failed)
        report(SHRED_FINDING_VERIFY_MISMATCH, outcome.mismatchOffset);
    else if (outcome.verificationStarted)
        report(SHRED_FINDING_VERIFY_INTERRUPTED, outcome.verifiedBytes);
}

} // namespace

int32_t runDiskJob(JobDisk& disk, const std::vector<Pass>& plan, int32_t deviceNumber,
                   ShredStatusCallback callback, void* context, const unsigned char* abortFlag,
                   const JobOptions& jobOptions) {
    StatusCallbackSink sink(callback, context, deviceNumber);
    JobOptions job = jobOptions;
    job.mediumCheck = [&disk] { return disk.mediumCheck(); };
    JobOutcome outcome;
    const int32_t status = runJob(disk.device(), plan, sink, abortFlag, job, outcome);
    disk.jobEnded();
    reportFindings(outcome, callback, context, deviceNumber);
    return status;
}

} // namespace kestrune::engine
