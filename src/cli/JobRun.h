#pragma once

#include <QStringList>
#include <chrono>
#include <cstdint>
#include <memory>
#include <vector>

class QEventLoop;
class QObject;

namespace kestrune {
class CVSKRMShredThread;
class ShredJobs;
} // namespace kestrune

namespace kestrune::cli {

class Console;
class DiskScan;
class PlainLineThrottle;
class ProgressLines;
struct ScannedDisk;

// The jobs of one run of shred, from their start to the last line about them: each disk's
// line as its job moves on, the abort on a terminating signal, and the exit status.
class JobRun {
public:
    JobRun(const DiskScan& scan, Console& console, std::chrono::milliseconds abortWait);
    ~JobRun();
    JobRun(const JobRun&) = delete;
    JobRun& operator=(const JobRun&) = delete;

    // Starts every disk's job at once, as a Start in the window starts one.
    void start(const std::vector<const ScannedDisk*>& disks, std::int32_t algorithm, bool format,
               const QString& asset = {}, const QString& source = {});
    // Runs until every job has ended, or the abort wait gave up on some.
    void wait();
    // The files each job wrote; returns the exit status.
    int finish();
    // Jobs that did not stop within the abort wait; their reports are written as aborted.
    bool leftJobsRunning() const { return leftJobsRunning_; }

private:
    class Changes;
    struct RunningJob {
        const ScannedDisk* disk;
        std::shared_ptr<CVSKRMShredThread> job;
    };
    bool allEnded() const;
    // Shows every job as it stands now; true once there is nothing more to wait for.
    bool tick();
    // A job moved on or ended: the lines are drawn anew.
    void jobsChanged();
    void abortAll();
    void giveUpOnRunningJobs();

    const DiskScan& scan_;
    Console& console_;
    std::chrono::milliseconds abortWait_;
    std::unique_ptr<QObject> context_; // where the jobs' changes reach the run's thread
    std::shared_ptr<Changes> changes_;
    QEventLoop* loop_ = nullptr;
    std::unique_ptr<ShredJobs> jobs_;
    std::vector<RunningJob> running_;
    std::unique_ptr<ProgressLines> lines_;
    std::unique_ptr<PlainLineThrottle> throttle_;
    bool aborting_ = false;
    std::chrono::steady_clock::time_point abortDeadline_;
    bool leftJobsRunning_ = false;
    bool refused_ = false;
};

} // namespace kestrune::cli
