#pragma once

#include "shred/EngineEvents.h"
#include "shred/JobStatus.h"

#include <QString>
#include <cstdint>
#include <optional>
#include <variant>
#include <vector>

namespace kestrune {

class LanguageManager;

enum class JobPhase : std::uint8_t { Shredding, Formatting, Ended };

// Someone asked the job to stop.
struct AbortRequestedEvent {
    bool operator==(const AbortRequestedEvent&) const = default;
};

// What became of the job's documents once it ended: the files written (empty: that one was
// not), and which could not be written as asked.
struct DocumentsEvent {
    bool reportNotSaved = false;
    bool certificateNotSaved = false;
    bool certificateUnsigned = false; // signing was asked for and did not happen
    QString reportPath;
    QString certificatePath;
    bool operator==(const DocumentsEvent&) const = default;
};

// Every turn of a job, as its observers hear of it.
using JobEvent = std::variant<ProgressEvent, FormattingEvent, FindingEvent, EndedEvent,
                              AbortRequestedEvent, DocumentsEvent>;

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
    JobStatus finalStatus = JobStatus::None;
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
    std::vector<FindingEvent> findings;
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

    // One event of the engine, the formatter or the worker, at nowSeconds of the system clock
    // and nowMs of a steady clock.
    JobProgressChange apply(const EngineEvent& event, std::int64_t nowSeconds, std::int64_t nowMs);
    // Someone asked the job to stop; false when it had ended already.
    bool requestAbort();
    // What became of the job's documents.
    JobProgressChange documents(const DocumentsEvent& documents);
    const JobProgress& progress() const { return progress_; }

private:
    void noteBytesDone(std::int64_t bytesDone, std::int64_t nowMs);
    JobProgressChange workOutFigures(std::int32_t percent, std::int64_t bytesLeft, double speed,
                                     std::int64_t nowSeconds);
    // True when the mean speed of the whole job is known and now shown.
    bool showMeanSpeed();
    JobProgressChange progressed(const ProgressEvent& event, std::int64_t nowSeconds,
                                 std::int64_t nowMs);
    JobProgressChange formatting(const FormattingEvent& event);
    JobProgressChange ended(const EndedEvent& event);

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

// What a job's status says as words: the final status with the documents it could not
// write, or what it is doing.
QString JobStatusLine(const LanguageManager* language, const JobProgress& progress);

} // namespace kestrune
