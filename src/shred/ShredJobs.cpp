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
        request.callback = job.callback;
        request.context = job.context;
        request.abortFlag = job.abortFlag;
        request.diskReadsAsZeros = job.diskReadsAsZeros;
        return formatAndLabel(request, hooks, job.labelled);
    };
}

} // namespace

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
    // The job services follow the job through its status reports on their way to the rows.
    const auto tracked = services_ ? services_->jobStarted(JobServices::diskName(*table_, *record),
                                                           context_.get(), &OnShredStatus)
                                   : nullptr;
    auto job = std::make_shared<CVSKRMShredThread>(
        tracked ? tracked->statusContext() : context_.get(), record, algorithm,
        tracked ? &JobServices::Job::relayStatus : &OnShredStatus, 0);
    job->setTable(table_);
    job->setFormatDrive(options.formatDrive);
    job->setAssetNumber(options.assetNumber);
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
        if (tracked)
            tracked->ended(job->finalStatus());
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
    std::lock_guard guard(state_->mutex);
    for (const auto& job : state_->jobs)
        job->record()->abort.raise();
}

std::vector<std::shared_ptr<DeviceRecord>> ShredJobs::abandonRunning() {
    abandoned_ = true;
    std::vector<std::shared_ptr<CVSKRMShredThread>> jobs;
    {
        std::lock_guard guard(state_->mutex);
        jobs = state_->jobs;
    }
    std::vector<std::shared_ptr<DeviceRecord>> records;
    for (const auto& job : jobs) {
        job->record()->abort.raise();
        job->abandon();
        records.push_back(job->record());
    }
    return records;
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
