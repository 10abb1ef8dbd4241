#include "shred/JobProgress.h"

#include "lang/LanguageManager.h"
#include "shred/ShredStatusDisplay.h"

#include <algorithm>

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

JobProgressChange JobProgressEstimator::ended(const EndedEvent& event) {
    JobProgressChange change;
    progress_.phase = JobPhase::Ended;
    progress_.aborting = false;
    progress_.finalStatus = event.status;
    change.status = true;
    if (isErased(event.status)) {
        progress_.finalDetail = 0;
        progress_.percent = 100;
        change.percent = true;
        if (event.status == JobStatus::Shredded) {
            progress_.secondsLeft = 0;
            change.timeLeft = true;
            change.speed = showMeanSpeed();
        }
        return change;
    }
    progress_.finalDetail = event.detail;
    // The bar ends on what was done, not on the last report the figures took: a job over
    // within a second took only its first, and a format's own bar starts afresh.
    progress_.percent = progress_.formatBegan ? 100 : shredPercent_;
    change.percent = true;
    change.speed = showMeanSpeed();
    // A job that stopped short has no time left: the last estimate would read as one.
    progress_.secondsLeft.reset();
    change.timeLeft = true;
    return change;
}

JobProgressChange JobProgressEstimator::formatting(const FormattingEvent& event) {
    JobProgressChange change;
    if (progress_.phase != JobPhase::Formatting) {
        change.speed = showMeanSpeed();
        progress_.phase = JobPhase::Formatting;
        progress_.formatBegan = true;
        progress_.aborting = false;
        change.status = true;
    }
    if (event.percent > 0) {
        progress_.percent = std::clamp(event.percent, 0, 100);
        change.percent = true;
    }
    return change;
}

JobProgressChange JobProgressEstimator::progressed(const ProgressEvent& event,
                                                   std::int64_t nowSeconds, std::int64_t nowMs) {
    // A counterfeit's usable part is written again from 0 %: the bar keeps the furthest.
    shredPercent_ = std::max(shredPercent_, std::clamp(event.percent, 0, 100));
    noteBytesDone(event.bytesDone, nowMs);
    return workOutFigures(event.percent, event.bytesLeft, event.speed, nowSeconds);
}

JobProgressChange JobProgressEstimator::apply(const EngineEvent& event, std::int64_t nowSeconds,
                                              std::int64_t nowMs) {
    if (const auto* progress = std::get_if<ProgressEvent>(&event))
        return progressed(*progress, nowSeconds, nowMs);
    if (const auto* format = std::get_if<FormattingEvent>(&event))
        return formatting(*format);
    if (const auto* end = std::get_if<EndedEvent>(&event))
        return ended(*end);
    progress_.findings.push_back(std::get<FindingEvent>(event));
    return {};
}

JobProgressChange JobProgressEstimator::documents(const DocumentsEvent& documents) {
    progress_.reportNotSaved = documents.reportNotSaved;
    progress_.certificateNotSaved = documents.certificateNotSaved;
    progress_.certificateUnsigned = documents.certificateUnsigned;
    progress_.reportPath = documents.reportPath;
    progress_.certificatePath = documents.certificatePath;
    JobProgressChange change;
    change.status =
        documents.reportNotSaved || documents.certificateNotSaved || documents.certificateUnsigned;
    return change;
}

bool JobProgressEstimator::requestAbort() {
    if (progress_.phase == JobPhase::Ended)
        return false;
    progress_.aborting = true;
    return true;
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
