#include "shred/ShredJobs.h"

#include "devices/DeviceListModel.h"
#include "devices/DeviceTable.h"
#include "lang/LanguageManager.h"
#include "platform/DeviceMonitor.h"
#include "shred/FormatAndLabel.h"
#include "shred/JobServices.h"

#include <atomic>
#include <chrono>
#include <thread>

namespace kestrune {
namespace {

std::atomic<int> processJobs{0};

std::int64_t secondsNow() {
    return std::chrono::duration_cast<std::chrono::seconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

// The real format, with the monitor told to ignore the events of our own partitioning.
DiskFormatter formatterWith(platform::DeviceMonitor* monitor) {
    return [monitor](const FormatJob& job) {
        platform::PartitioningHooks hooks;
        if (monitor) {
            hooks.beforePartitioning = [monitor](const QString& disk) {
                monitor->suppressDisk(disk, true);
            };
            hooks.afterPartitioning = [monitor](const QString& disk) {
                monitor->suppressDisk(disk, false);
            };
        }
        if (!job.identityKnown)
            return FormatResult::Failed;
        platform::FormatRequest request;
        request.identity = job.identity;
        request.deviceNumber = static_cast<std::int32_t>(job.deviceNumber);
        request.label = job.label;
        request.abortFlag = job.abortFlag;
        request.diskReadsAsZeros = job.diskReadsAsZeros;
        return formatAndLabel(request, job.callback, job.context, hooks, job.labelled);
    };
}

} // namespace

QString ShredJobs::text(const char* key) const {
    return context_->language ? context_->language->GetString(QString::fromLatin1(key)) : QString();
}

ShredJobs::ShredJobs(std::shared_ptr<DeviceTable> table, std::shared_ptr<DeviceListModel> list)
    : table_(table), state_(std::make_shared<State>()),
      context_(std::make_shared<ShredStatusContext>()) {
    context_->table = std::move(table);
    context_->list = std::move(list);
    context_->language = GetLanguageManager();
}

ShredJobs::~ShredJobs() {
    abortAll();
    // Jobs given up on have had their bounded wait and their reports already.
    if (!abandoned_)
        waitForAll(30000);
}

std::shared_ptr<CVSKRMShredThread> ShredJobs::start(const std::shared_ptr<DeviceRecord>& record,
                                                    std::int32_t algorithm,
                                                    const ShredJobOptions& options) {
    // Without a number the engine could not find the disk.
    if (!record->hasMedium.load() || record->deviceNumber == kUnknownDeviceNumber)
        return nullptr;
    // One start wins: a second one on a running record (a double click, the command line
    // and the window at once) changes nothing.
    auto state = record->jobState.load();
    do {
        if (static_cast<JobState>(state) == JobState::Running)
            return nullptr;
    } while (!record->jobState.compare_exchange_weak(state,
                                                     static_cast<std::int32_t>(JobState::Running)));
    context_->progress.begin(record, context_->clock ? context_->clock() : secondsNow());
    record->abort.lower();
    const RowDisk disk = context_->list->diskOfRecord(record.get());
    // Before the worker starts: a job that fails at once must have the last word.
    const int row = context_->list->rowOfRecord(record.get());
    if (row >= 0)
        context_->list->setCellText(row, DeviceListModel::StatusColumn, text("status_processing"));
    context_->list->SetStartButtonText(record->deviceNumber, text("status_abort"));
    // The job services follow the job through its status reports on their way to the rows.
    const auto tracked = services_ ? services_->jobStarted(JobServices::diskName(disk),
                                                           context_.get(), &OnShredStatus)
                                   : nullptr;
    auto job = std::make_shared<CVSKRMShredThread>(
        tracked ? tracked->statusContext() : context_.get(), record, algorithm,
        tracked ? &JobServices::Job::relayStatus : &OnShredStatus, 0);
    job->setDisk(disk);
    job->setTable(table_);
    job->setFormatDrive(options.formatDrive);
    job->setAssetNumber(options.assetNumber);
    job->setSource(options.source);
    job->setFormatter(formatter_ ? formatter_ : formatterWith(monitor_));
    record->workers.fetch_add(1);
    {
        std::lock_guard guard(state_->mutex);
        ++state_->running;
        state_->jobs.push_back(job);
    }
    ++processJobs;
    // The thread keeps the status context, the state and the record alive by itself, so
    // a job that outlives the window never touches freed memory.
    std::thread([job, state = state_, context = context_, record, tracked] {
        job->Run();
        const QString certificate = job->certificatePath();
        context->progress.update(record, secondsNow(), [&](JobProgressEstimator& estimator) {
            estimator.documentsWritten(job->reportPath(), certificate);
        });
        if (tracked)
            tracked->ended(job->finalStatus(), certificate);
        record->workers.fetch_sub(1);
        std::function<void()> onEnded;
        {
            std::lock_guard guard(state->mutex);
            --state->running;
            std::erase(state->jobs, job);
            onEnded = state->onEnded;
        }
        if (onEnded)
            onEnded();
        state->finished.notify_all();
        --processJobs;
    }).detach();
    return job;
}

void ShredJobs::abortAll() {
    std::vector<std::shared_ptr<CVSKRMShredThread>> jobs;
    {
        std::lock_guard guard(state_->mutex);
        jobs = state_->jobs;
    }
    for (const auto& job : jobs)
        abort(job->record());
}

void ShredJobs::abort(const std::shared_ptr<DeviceRecord>& record) {
    ShowJobAborting(*context_, record);
    record->abort.raise();
}

std::optional<JobProgress> ShredJobs::progressOf(const DeviceRecord& record) const {
    return context_->progress.progressOf(record);
}

std::vector<std::shared_ptr<CVSKRMShredThread>> ShredJobs::abandonRunning() {
    abandoned_ = true;
    std::vector<std::shared_ptr<CVSKRMShredThread>> jobs;
    {
        std::lock_guard guard(state_->mutex);
        jobs = state_->jobs;
    }
    for (const auto& job : jobs) {
        job->record()->abort.raise();
        job->abandon();
    }
    return jobs;
}

void ShredJobs::setJobServices(std::unique_ptr<JobServices> services) {
    services_ = std::move(services);
}

int ShredJobs::runningCount() const {
    std::lock_guard guard(state_->mutex);
    return state_->running;
}

bool ShredJobs::waitForAll(int timeoutMs) {
    std::unique_lock guard(state_->mutex);
    return state_->finished.wait_for(guard, std::chrono::milliseconds(timeoutMs),
                                     [this] { return state_->running == 0; });
}

int ShredJobs::runningInProcess() {
    return processJobs.load();
}

} // namespace kestrune
