#include "shred/JobRows.h"

#include "devices/DeviceListModel.h"
#include "devices/DeviceTable.h"
#include "lang/LanguageManager.h"
#include "shred/CVSKRMShredThread.h"
#include "shred/ShredStatusDisplay.h"

#include <algorithm>
#include <cstdio>

namespace kestrune {
namespace {

// A row's job columns, worked out from the job as it stands whenever they are asked for.
class JobColumns final : public RowJob {
public:
    JobColumns(std::shared_ptr<const CVSKRMShredThread> job,
               std::shared_ptr<LanguageManager> language)
        : job_(std::move(job)), language_(std::move(language)) {}

    int progressValue() const override { return std::clamp(job_->progress().percent, 0, 100); }
    QString cellText(int column) const override {
        const JobProgress progress = job_->progress();
        switch (column) {
        case DeviceListModel::ElapsedColumn:
            return progress.elapsedSeconds ? FormatTimeSpan(*progress.elapsedSeconds) : QString();
        case DeviceListModel::TimeLeftColumn:
            return progress.secondsLeft ? FormatTimeSpan(*progress.secondsLeft) : QString();
        case DeviceListModel::SpeedColumn:
            return progress.speed ? FormatSpeed(*progress.speed) : QString();
        case DeviceListModel::StatusColumn:
            return JobStatusLine(language_.get(), progress);
        default:
            return {};
        }
    }

private:
    std::shared_ptr<const CVSKRMShredThread> job_;
    std::shared_ptr<LanguageManager> language_;
};

bool failedEnd(const JobProgress& progress) {
    return progress.phase == JobPhase::Ended && isFailure(progress.finalStatus) &&
           progress.finalStatus != JobStatus::Aborted;
}

} // namespace

JobRows::JobRows(std::shared_ptr<DeviceTable> table, std::weak_ptr<DeviceListModel> list,
                 std::shared_ptr<LanguageManager> language)
    : table_(std::move(table)), list_(std::move(list)), language_(std::move(language)) {}

QString JobRows::text(const char* key) const {
    return language_ ? language_->GetString(QString::fromLatin1(key)) : QString();
}

void JobRows::jobStarting(const std::shared_ptr<CVSKRMShredThread>& job) {
    const auto list = list_.lock();
    if (!list)
        return;
    list->showJob(job->record().get(), std::make_shared<JobColumns>(job, language_));
    list->SetStartButtonText(job->record()->deviceNumber, text("status_abort"));
}

void JobRows::followJob(DeviceListModel& list, DeviceRecord& record, const JobEvent& event,
                        const JobProgressChange& change) const {
    const auto number = record.deviceNumber;
    if (std::holds_alternative<FormattingEvent>(event) && change.status) {
        record.setState(JobState::Running);
        // The format can be aborted like the shred before it.
        list.SetStartButtonText(number, text("status_abort"));
        list.EnableStartButton(number);
        return;
    }
    const auto* end = std::get_if<EndedEvent>(&event);
    if (!end)
        return;
    if (end->status == JobStatus::Aborted) {
        list.SetStartButtonText(number, text("status_start"));
        record.setState(JobState::Aborted);
        return;
    }
    if (isFailure(end->status)) {
        std::printf("DeviceNumber: %d Failed\n", static_cast<int>(number));
        std::fflush(stdout);
    }
    record.setState(JobState::Finished);
    list.SetStartButtonText(number, text("status_start"));
    // A failure after formatting began must not leave the button disabled for good.
    if (end->status != JobStatus::Shredded)
        list.EnableStartButton(number);
}

void JobRows::jobChanged(const CVSKRMShredThread& job, const JobEvent& event,
                         const JobProgress& progress, const JobProgressChange& change) {
    const auto list = list_.lock();
    const std::shared_ptr<DeviceRecord>& record = job.record();
    // A job whose disk left the table changes nothing: its number may be another disk's now.
    if (!list || table_->findByDeviceNumber(record->deviceNumber) != record)
        return;
    followJob(*list, *record, event, change);
    // A failure on a disk that is gone leaves its former row alone.
    if (failedEnd(progress) && record->stale.load())
        return;
    const bool documentsMissing = std::holds_alternative<DocumentsEvent>(event) && change.status;
    const bool grow =
        (std::holds_alternative<EndedEvent>(event) && failedEnd(progress)) || documentsMissing;
    if (change.percent || change.speed || change.elapsed || change.timeLeft || change.status)
        list->jobChanged(record.get(), grow);
}

} // namespace kestrune
