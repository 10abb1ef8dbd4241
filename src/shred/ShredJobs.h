#pragma once

#include "devices/DeviceRecord.h"
#include "shred/CVSKRMShredThread.h"
#include "shred/JobProgress.h"

#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>
#include <vector>

namespace kestrune {

class DeviceListModel;
class DeviceTable;
class JobRows;
class JobServices;
class LanguageManager;
namespace platform {
class DeviceMonitor;
}

// What a start may set for one job instead of the user's settings.
struct ShredJobOptions {
    std::optional<bool> formatDrive;
    QString assetNumber; // empty: none
    QString source;      // where the medium came from; empty: not given
    // Hears of the job's turns besides its row and the desktop; none: nobody else.
    std::shared_ptr<JobObserver> observer;
};

// The running shred jobs of the main window: starts each on its own thread and knows how
// many still run, so closing can abort them and wait for their reports.
class ShredJobs {
public:
    ShredJobs(std::shared_ptr<DeviceTable> table, std::shared_ptr<DeviceListModel> list);
    // Waits a bounded time for running jobs; any still running keep what they use alive.
    ~ShredJobs();

    // Starts a new job on the record's disk, as both the window and the command line do:
    // the record turns running with nothing of its last job carried over, its abort flag
    // lowered, its row saying so, then the worker runs. Null when the record's disk cannot
    // take a job now (one runs on it already, or a reader holds no card); nothing changed.
    // Otherwise the job, for whoever wants its outcome once it has ended.
    std::shared_ptr<CVSKRMShredThread> start(const std::shared_ptr<DeviceRecord>& record,
                                             std::int32_t algorithm,
                                             const ShredJobOptions& options = {});
    // Asks the record's job to stop; its row says so until the job has its last word.
    void abort(const std::shared_ptr<DeviceRecord>& record);
    void abortAll();
    // The record's last job started here; null when none was (or its disk left the table
    // before a later job started).
    std::shared_ptr<CVSKRMShredThread> jobOf(const DeviceRecord& record) const;
    // The progress of the record's last job started here; empty when none was.
    std::optional<JobProgress> progressOf(const DeviceRecord& record) const;
    // The clocks new jobs work out their figures with (tests move them by hand).
    void setClock(JobClock clock) { clock_ = std::move(clock); }
    // Writes the reports of the jobs still running as aborted (the program is ending under
    // them) and returns those jobs.
    std::vector<std::shared_ptr<CVSKRMShredThread>> abandonRunning();
    int runningCount() const;
    // Waits until no job runs or the timeout passed; true when none runs.
    bool waitForAll(int timeoutMs);
    void setDeviceMonitor(platform::DeviceMonitor* monitor) { monitor_ = monitor; }
    void setFormatter(DiskFormatter formatter) { formatter_ = std::move(formatter); }
    // Called on the job's thread once a job has ended: its disk now reads differently.
    void setOnJobEnded(std::function<void()> onEnded) {
        std::lock_guard guard(state_->mutex);
        state_->onEnded = std::move(onEnded);
    }
    // Who keeps the machine awake and tells the desktop while jobs run (none: nobody).
    void setJobServices(std::unique_ptr<JobServices> services);
    JobServices* jobServices() const { return services_.get(); }

    // Jobs still running in the whole process (the program must not end under them).
    static int runningInProcess();

private:
    struct State {
        std::mutex mutex;
        std::condition_variable finished;
        int running = 0;
        std::vector<std::shared_ptr<CVSKRMShredThread>> jobs;
        // Each record's last job, for its row's menu and its abort.
        std::map<const DeviceRecord*, std::shared_ptr<CVSKRMShredThread>> last;
        std::function<void()> onEnded;
    };
    // Remembers the record's new job; forgets the ended jobs of disks gone from the table.
    void remember(const std::shared_ptr<CVSKRMShredThread>& job);
    // Joins the threads whose jobs have ended (all: those of jobs still running too), so
    // that none is still ending when the program does.
    void joinEnded(bool all);

    std::shared_ptr<DeviceTable> table_;
    std::shared_ptr<DeviceListModel> list_;
    std::shared_ptr<LanguageManager> language_;
    std::shared_ptr<State> state_;
    std::shared_ptr<JobRows> rows_;
    JobClock clock_;
    // Each job's thread, until it is joined; only the thread that starts jobs touches it.
    std::vector<std::pair<std::shared_ptr<CVSKRMShredThread>, std::thread>> threads_;
    DiskFormatter formatter_;
    std::unique_ptr<JobServices> services_;
    platform::DeviceMonitor* monitor_ = nullptr;
    bool abandoned_ = false;
};

} // namespace kestrune
