#include "shred/JobProgress.h"

#include "lang/LanguageManager.h"
#include "shred/ShredStatusDisplay.h"

#include <algorithm>
#include <kestrune/shred_abi.h>

namespace kestrune {
namespace {

// A device that has not moved on for this long is shown as standing still.
constexpr std::int64_t kStallSeconds = 10;

} // namespace

JobProgressEstimator::JobProgressEstimator(std::int64_t startSeconds) : lastMovedAt_(startSeconds) {
    progress_.startSeconds = startSeconds;
}

// Every progress report counts, also those the figures skip: a job may end before they are
// due again. A repeat without new bytes (the worker's heartbeat) is no progress.
void JobProgressEstimator::noteBytesDone(std::int64_t bytesDone, std::int64_t nowMs) {
    if (firstProgressMs_ < 0) {
        firstProgressMs_ = nowMs;
        lastProgressMs_ = nowMs;
        firstBytesDone_ = bytesDone;
        bytesDone_ = bytesDone;
    } else if (bytesDone > bytesDone_) {
        bytesDone_ = bytesDone;
        lastProgressMs_ = nowMs;
    }
}

// Once the job's writing and reading has ended, its mean speed is shown: a job done within a
// second has no other, and a long one's is truer than the mean of its samples.
bool JobProgressEstimator::showMeanSpeed() {
    const double speed =
        MeanSpeed(bytesDone_ - firstBytesDone_, lastProgressMs_ - firstProgressMs_);
    if (speed <= 0)
        return false;
    progress_.speed = speed;
    return true;
}

JobProgressChange JobProgressEstimator::workOutFigures(std::int32_t percent, std::int64_t bytesLeft,
                                                       double speed, std::int64_t nowSeconds) {
    JobProgressChange change;
    if (nowSeconds - lastFiguresAt_ < 1)
        return change;
    lastFiguresAt_ = nowSeconds;
    progress_.percent = percent;
    change.percent = true;
    // A report without a speed (the first of a job, or one while the device is silent) is no
    // sample: counted, it would pull the mean towards zero.
    if (speed > 0) {
        averageSpeed_ = (speed + static_cast<double>(speedSamples_) * averageSpeed_) /
                        static_cast<double>(speedSamples_ + 1);
        speedSamples_ += 1;
    }
    if (bytesLeft != progress_.bytesLeft) {
        progress_.bytesLeft = bytesLeft;
        lastMovedAt_ = nowSeconds;
    }
    progress_.stalled = nowSeconds - lastMovedAt_ >= kStallSeconds;
    progress_.speed = progress_.stalled ? 0.0 : averageSpeed_;
    progress_.elapsedSeconds = nowSeconds - progress_.startSeconds;
    const auto bytesPerSecond = static_cast<std::int64_t>(averageSpeed_ * 1048576.0);
    progress_.secondsLeft.reset();
    if (!progress_.stalled && bytesPerSecond >= 1)
        progress_.secondsLeft = bytesLeft / bytesPerSecond;
    change.speed = change.elapsed = change.timeLeft = true;
    return change;
}

void JobProgressEstimator::end(std::int32_t status, std::int64_t detail) {
    progress_.phase = JobPhase::Ended;
    progress_.aborting = false;
    progress_.finalStatus = status;
    progress_.finalDetail = detail;
}

JobProgressChange JobProgressEstimator::report(std::int32_t status, std::int64_t bytesLeft,
                                               std::int64_t secondValue, double speed,
                                               std::int64_t nowSeconds, std::int64_t nowMs) {
    JobProgressChange change;
    if (status == SHRED_STATUS_SHREDDED || status == SHRED_STATUS_FORMATTED) {
        progress_.percent = 100;
        change.percent = true;
        end(status, 0);
        change.status = true;
        if (status == SHRED_STATUS_SHREDDED) {
            progress_.secondsLeft = 0;
            change.timeLeft = true;
            change.speed = showMeanSpeed();
        }
    } else if (status == SHRED_STATUS_FORMATTING) {
        change.speed = showMeanSpeed();
        progress_.phase = JobPhase::Formatting;
        progress_.formatBegan = true;
        progress_.aborting = false;
        change.status = true;
    } else if (status > SHRED_STATUS_FORMATTING && status < SHRED_STATUS_FORMATTED) {
        progress_.percent = status - SHRED_STATUS_FORMATTING;
        change.percent = true;
    } else if (status < 0) {
        end(status, secondValue);
        change.status = true;
        // The bar ends on what was done, not on the last report the figures took: a job
        // over within a second took only its first, and a format's own bar starts afresh.
        progress_.percent = progress_.formatBegan ? 100 : shredPercent_;
        change.percent = true;
        change.speed = showMeanSpeed();
        // A job that stopped short has no time left: the last estimate would read as one.
        progress_.secondsLeft.reset();
        change.timeLeft = true;
    } else if (status == SHRED_STATUS_REPORT_NOT_SAVED) {
        progress_.reportNotSaved = true;
        change.status = true;
    } else if (status == SHRED_STATUS_CERTIFICATE_NOT_SAVED) {
        progress_.certificateNotSaved = true;
        change.status = true;
    } else if (status == SHRED_STATUS_CERTIFICATE_UNSIGNED) {
        progress_.certificateUnsigned = true;
        change.status = true;
    } else if (status >= SHRED_FINDING_FIRST && status <= SHRED_FINDING_LAST) {
        progress_.findings.push_back({status, secondValue});
    } else {
        // A counterfeit's usable part is written again from 0 %: the bar keeps the furthest.
        shredPercent_ = std::max(shredPercent_, std::clamp(status, 0, 100));
        noteBytesDone(secondValue, nowMs);
        change = workOutFigures(status, bytesLeft, speed, nowSeconds);
    }
    return change;
}

void JobProgressEstimator::documentsWritten(const QString& reportPath,
                                            const QString& certificatePath) {
    progress_.reportPath = reportPath;
    progress_.certificatePath = certificatePath;
}

bool JobProgressEstimator::requestAbort() {
    if (progress_.phase == JobPhase::Ended)
        return false;
    progress_.aborting = true;
    return true;
}

void JobProgressBoard::begin(const std::shared_ptr<DeviceRecord>& record,
                             std::int64_t startSeconds) {
    std::lock_guard guard(mutex_);
    // The last jobs of disks that are gone (nobody else holds their records) are forgotten.
    std::erase_if(entries_, [&](const auto& entry) {
        return entry.first != record.get() && entry.second.record.use_count() == 1;
    });
    entries_.insert_or_assign(record.get(), Entry{record, JobProgressEstimator(startSeconds)});
}

std::optional<JobProgress> JobProgressBoard::progressOf(const DeviceRecord& record) const {
    std::lock_guard guard(mutex_);
    const auto found = entries_.find(&record);
    if (found == entries_.end())
        return std::nullopt;
    return found->second.estimator.progress();
}

QString JobStatusLine(const LanguageManager* language, const JobProgress& progress) {
    auto text = [language](const char* key) {
        return language ? language->GetString(QString::fromLatin1(key)) : QString();
    };
    if (progress.phase != JobPhase::Ended) {
        if (progress.aborting)
            return text("status_aborting");
        return text(progress.phase == JobPhase::Formatting ? "status_formating"
                                                           : "status_processing");
    }
    QString line =
        JobStatusText(language, progress.finalStatus, progress.finalDetail, progress.formatBegan);
    // Reported after the final status, in this order; each wraps what the row said before.
    if (progress.reportNotSaved)
        line = FormatWithOneText(text("status_report_not_saved"), line);
    if (progress.certificateNotSaved)
        line = FormatWithOneText(text("status_certificate_not_saved"), line);
    else if (progress.certificateUnsigned)
        line = FormatWithOneText(text("status_certificate_unsigned"), line);
    return line;
}

} // namespace kestrune
