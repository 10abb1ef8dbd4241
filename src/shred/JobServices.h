#pragma once

#include "shred/JobObserver.h"

#include <QObject>
#include <QString>
#include <atomic>
#include <cstdint>
#include <map>
#include <memory>

namespace kestrune {

struct RowDisk;
namespace platform {
class DesktopNotifier;
class LauncherProgress;
class SleepInhibitor;
} // namespace platform

// What the desktop learns of the running jobs: the machine stays awake while any runs, a
// job that ends while the window is not the active one is announced (and the notice brings
// the window up), and the launcher shows how far they are together. Jobs report from any
// thread; the work is done on the thread the object lives on, whose event loop must run.
// Jobs that outlive the object report to nobody.
class JobServices : public QObject {
    Q_OBJECT
    struct Feed;

public:
    struct Services {
        std::unique_ptr<platform::SleepInhibitor> inhibitor;
        std::unique_ptr<platform::DesktopNotifier> notifier;  // none: no notices
        std::unique_ptr<platform::LauncherProgress> launcher; // none: no launcher progress
    };
    explicit JobServices(Services services);
    // The window's: all of it, for the program's desktop entry.
    static std::unique_ptr<JobServices> forWindow();
    // The command line's: the machine stays awake; a terminal has no window to come back to.
    static std::unique_ptr<JobServices> forCommandLine();
    // Drops whatever is still held.
    ~JobServices() override;

    // One job from its start to its end: it observes the job's turns.
    class Job : public JobObserver {
    public:
        Job(std::shared_ptr<Feed> feed, std::uint64_t id);
        void jobChanged(const CVSKRMShredThread& job, const JobEvent& event,
                        const JobProgress& progress, const JobProgressChange& change) override;
        // certificate: where the job's certificate lies; empty when none was written.
        void ended(JobStatus finalStatus, const QString& certificate = {});

    private:
        std::shared_ptr<Feed> feed_;
        std::uint64_t id_;
        std::atomic<int> lastProgress_{-1};
        std::atomic<std::int64_t> failureDetail_{0};
        std::atomic<bool> formatBegan_{false};
    };
    // diskName: how the user knows the disk ("Kestrune Virtual Stick, 64.00 MB").
    std::shared_ptr<Job> jobStarted(const QString& diskName);
    // Whether the window (or one of its dialogs) is the one the user works in.
    void setWindowActive(bool active);

    // The disk as the notices and the inhibitor's reason name it.
    static QString diskName(const RowDisk& disk);

signals:
    // The user activated a notice: the window should come up.
    void raiseWindowRequested();

private:
    // The share of its work an event says a job has done, as its row's bar shows it (0 to
    // 100); -1 for an event that is no progress.
    static int progressOf(const JobEvent& event);
    void started(std::uint64_t id, const QString& disk);
    void progressed(std::uint64_t id, int progress);
    void ended(std::uint64_t id, JobStatus status, std::int64_t detail, bool formatBegan,
               const QString& certificate);
    void updateInhibitor();
    void updateLauncher();
    void announce(const QString& disk, JobStatus status, std::int64_t detail, bool formatBegan,
                  const QString& certificate);

    struct Running {
        QString disk;
        int progress = 0;
    };
    Services services_;
    std::shared_ptr<Feed> feed_;
    std::atomic<std::uint64_t> nextId_{1};
    std::map<std::uint64_t, Running> running_; // by start, so the reason keeps its order
    bool windowActive_ = false;
    int shownProgress_ = -1; // per mille; -1: hidden
};

} // namespace kestrune
