#pragma once

#include <QString>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

namespace kestrune {

class LanguageManager;
struct DeviceRecord;

enum class JobPhase : std::uint8_t { Shredding, Formatting, Ended };

// Something the engine found out about the medium (a SHRED_FINDING_* code and its value).
struct JobFinding {
    std::int32_t code = 0;
    std::int64_t value = 0;
    bool operator==(const JobFinding&) const = default;
};

// One job as it stands, in numbers: the window's row and the terminal's line are both
// formatted from it. A figure the job has not given yet is empty.
struct JobProgress {
    JobPhase phase = JobPhase::Shredding;
    // Asked to stop and not ended yet.
    bool aborting = false;
    std::int64_t startSeconds = 0; // since the epoch
    int percent = 0;               // of the current phase
    // When the figures were last worked out (at most once a second), and from what.
    std::optional<std::int64_t> elapsedSeconds;
    std::int64_t bytesLeft = -1;
    // MiB/s: the mean of the reported speeds while the job writes, 0 while its device stands
    // still; once its writing and reading ended, the mean over everything they moved.
    std::optional<double> speed;
    // Empty while there is no estimate: a stale one would be worse than none.
    std::optional<std::int64_t> secondsLeft;
    bool stalled = false;
    // In phase Ended: the job's final status, and the usable bytes of a counterfeit.
    std::int32_t finalStatus = 0;
    std::int64_t finalDetail = 0;
    // The worker's format began: only after that is a failed format the job's own, and the
    // medium erased before it.
    bool formatBegan = false;
    // Documents the job could not write, after it ended.
    bool reportNotSaved = false;
    bool certificateNotSaved = false;
    bool certificateUnsigned = false; // signing was asked for and did not happen
    // Where the job's report and certificate lie once written; empty while none is.
    QString reportPath;
    QString certificatePath;
    std::vector<JobFinding> findings;
};

// Which parts of a job's progress one report changed, so a face redraws only those.
struct JobProgressChange {
    bool percent = false;
    bool speed = false;
    bool elapsed = false;
    bool timeLeft = false;
    bool status = false;
};

// Turns a job's status reports into its progress: the speed as the mean of the samples, the
// time left from it, a device that stopped answering, the mean speed at the end.
class JobProgressEstimator {
public:
    explicit JobProgressEstimator(std::int64_t startSeconds);

    // One report as the engine, the formatter and the worker send them (the status callback's
    // arguments), at nowSeconds of the system clock and nowMs of a steady clock.
    JobProgressChange report(std::int32_t status, std::int64_t bytesLeft, std::int64_t secondValue,
                             double speed, std::int64_t nowSeconds, std::int64_t nowMs);
    // Someone asked the job to stop; false when it had ended already.
    bool requestAbort();
    // The job's documents are on disk (an empty path: that one was not written).
    void documentsWritten(const QString& reportPath, const QString& certificatePath);
    const JobProgress& progress() const { return progress_; }

private:
    void noteBytesDone(std::int64_t bytesDone, std::int64_t nowMs);
    JobProgressChange workOutFigures(std::int32_t percent, std::int64_t bytesLeft, double speed,
                                     std::int64_t nowSeconds);
    // True when the mean speed of the whole job is known and now shown.
    bool showMeanSpeed();
    void end(std::int32_t status, std::int64_t detail);

    JobProgress progress_;
    double averageSpeed_ = 0.0;
    std::uint64_t speedSamples_ = 0;
    std::int64_t lastFiguresAt_ = 0;
    // When the bytes left last changed.
    std::int64_t lastMovedAt_ = 0;
    // The bytes written and read as the reports count them, and when the count was first
    // seen and last moved (steady ms).
    std::int64_t firstBytesDone_ = 0;
    std::int64_t bytesDone_ = 0;
    std::int64_t firstProgressMs_ = -1;
    std::int64_t lastProgressMs_ = -1;
    // The furthest percent the shred reported, throttled or not.
    int shredPercent_ = 0;
};

// The progress of every disk's last job. Reports, aborts and readers meet under one short
// lock that is never held while waiting for anything, so the window's thread may take it.
class JobProgressBoard {
public:
    // A fresh estimate for the record's new job: nothing of its last one carries over.
    void begin(const std::shared_ptr<DeviceRecord>& record, std::int64_t startSeconds);
    // Empty when the record never had a job here.
    std::optional<JobProgress> progressOf(const DeviceRecord& record) const;
    // Runs fn(estimator) under the board's lock. A job that reports without having been begun
    // is estimated from its first report on.
    template <typename Fn>
    auto update(const std::shared_ptr<DeviceRecord>& record, std::int64_t nowSeconds, Fn&& fn) {
        std::lock_guard guard(mutex_);
        auto found = entries_.find(record.get());
        if (found == entries_.end())
            found = entries_.emplace(record.get(), Entry{record, JobProgressEstimator(nowSeconds)})
                        .first;
        return fn(found->second.estimator);
    }

private:
    struct Entry {
        std::shared_ptr<DeviceRecord> record;
        JobProgressEstimator estimator;
    };
    mutable std::mutex mutex_;
    std::map<const DeviceRecord*, Entry> entries_;
};

// What a job's status says as words: the final status with the documents it could not
// write, or what it is doing.
QString JobStatusLine(const LanguageManager* language, const JobProgress& progress);

} // namespace kestrune
