#include "shred/ShredJobs.h"

#include "devices/DeviceListModel.h"
#include "devices/DeviceTable.h"
#include "lang/LanguageManager.h"
#include "platform/DeviceMonitor.h"
#include "shred/EngineEvents.h"
#include "shred/FormatAndLabel.h"
#include "shred/JobRows.h"
#include "shred/JobServices.h"

#include <algorithm>
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
        // The bar keeps its scale: the format's own steps span 1..99 %, its end 100 %.
        request.progress = [progress = job.progress](int percent) {
            if (progress)
                progress(1 + percent * 98 / 100);
        };
        request.abortFlag = job.abortFlag;
        request.diskReadsAsZeros = job.diskReadsAsZeros;
        const FormatResult result = formatAndLabel(request, hooks, job.labelled);
        if (result == FormatResult::Formatted && job.progress)
            job.progress(100);
        return result;
    };
}

} // namespace

ShredJobs::ShredJobs(std::shared_ptr<DeviceTable> table, std::shared_ptr<DeviceListModel> list)
    : table_(table), list_(list), language_(GetLanguageManager()),
      state_(std::make_shared<State>()),
      rows_(std::make_shared<JobRows>(std::move(table), list, language_)) {}

ShredJobs::~ShredJobs() {
    abortAll();
    // Jobs given up on have had their bounded wait and their reports already.
    if (!abandoned_)
        waitForAll(30000);
    joinEnded(true);
}

void ShredJobs::joinEnded(bool all) {
    std::vector<std::shared_ptr<CVSKRMShredThread>> running;
    {
        std::lock_guard guard(state_->mutex);
        running = state_->jobs;
    }
    std::erase_if(threads_, [&](auto& entry) {
        auto& [job, thread] = entry;
        // A job stuck in the kernel keeps its thread; the process ends under it.
        if (std::find(running.begin(), running.end(), job) != running.end()) {
            if (all)
                thread.detach();
            return all;
        }
        thread.join();
        return true;
    });
}

void ShredJobs::remember(const std::shared_ptr<CVSKRMShredThread>& job) {
    std::lock_guard guard(state_->mutex);
    ++state_->running;
    state_->jobs.push_back(job);
    std::erase_if(state_->last, [this](const auto& entry) {
        const auto& record = entry.second->record();
        return entry.second->hasEnded() &&
               table_->findByDeviceNumber(record->deviceNumber) != record;
    });
    state_->last.insert_or_assign(job->record().get(), job);
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
    record->abort.lower();
    const RowDisk disk = list_->diskOfRecord(record.get());
    auto job = std::make_shared<CVSKRMShredThread>(record, algorithm, clock_);
    job->addObserver(rows_);
    rows_->jobStarting(job);
    // The job services follow the job's turns beside the rows.
    const auto tracked = services_ ? services_->jobStarted(JobServices::diskName(disk)) : nullptr;
    job->addObserver(tracked);
    job->addObserver(options.observer);
    job->setDisk(disk);
    job->setTable(table_);
    job->setFormatDrive(options.formatDrive);
    job->setAssetNumber(options.assetNumber);
    job->setSource(options.source);
    job->setFormatter(formatter_ ? formatter_ : formatterWith(monitor_));
    record->workers.fetch_add(1);
    remember(job);
    ++processJobs;
    joinEnded(false);
    // The thread keeps the job, the state and the record alive by itself, so a job that
    // outlives the window never touches freed memory.
    std::thread thread([job, state = state_, record, tracked] {
        job->Run();
        if (tracked)
            tracked->ended(job->finalStatus(), job->certificatePath());
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
    });
    threads_.emplace_back(job, std::move(thread));
    return job;
}

void ShredJobs::abortAll() {
    std::vector<std::shared_ptr<CVSKRMShredThread>> jobs;
    {
        std::lock_guard guard(state_->mutex);
        jobs = state_->jobs;
    }
    for (const auto& job : jobs)
        job->requestAbort();
}

void ShredJobs::abort(const std::shared_ptr<DeviceRecord>& record) {
    if (const auto job = jobOf(*record))
        job->requestAbort();
    else
        record->abort.raise();
}

std::shared_ptr<CVSKRMShredThread> ShredJobs::jobOf(const DeviceRecord& record) const {
    std::lock_guard guard(state_->mutex);
    const auto found = state_->last.find(&record);
    return found == state_->last.end() ? nullptr : found->second;
}

std::optional<JobProgress> ShredJobs::progressOf(const DeviceRecord& record) const {
    const auto job = jobOf(record);
    if (!job)
        return std::nullopt;
    return job->progress();
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
