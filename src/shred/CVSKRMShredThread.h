#pragma once

#include "devices/DeviceListModel.h"
#include "devices/DeviceRecord.h"
#include "shred/FormatAndLabel.h"
#include "shred/JobFindings.h"
#include "shred/JobObserver.h"
#include "shred/JobProgress.h"
#include "shred/ShredReport.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

#include <QStringList>

#include <kestrune/disk_numbers.h>

namespace kestrune {

class DeviceTable;
class JobDocuments;
class LanguageManager;
class SettingsStore;
class ShredReport;
struct CertificateFacts;
struct JobProvenance;
namespace platform {
class AuthorizedDisk;
class DiskAuthorization;
} // namespace platform

// The clocks a job's figures are worked out with: seconds since the epoch and milliseconds
// of a steady clock; the system's when empty.
struct JobClock {
    std::function<std::int64_t()> seconds;
    std::function<std::int64_t()> milliseconds;
    std::int64_t secondsNow() const;
    std::int64_t millisecondsNow() const;
};

// What a job hands to the step that formats its disk after the engine shredded it.
struct FormatJob {
    // The disk the engine was given: resolved once, when the job began, so a number that
    // has meanwhile passed to another disk can never lead the format astray.
    KestruneDiskIdentity identity{};
    bool identityKnown = false;
    std::uint32_t deviceNumber = 0;
    // How far the format got, in percent.
    std::function<void(int percent)> progress;
    const unsigned char* abortFlag = nullptr;
    // The volume label to write (stored upper-case), and where the formatter says whether
    // it was written.
    QString label;
    bool* labelled = nullptr;
    // The job wrote zeros over the whole medium and read them back.
    bool diskReadsAsZeros = false;
};
using DiskFormatter = std::function<FormatResult(const FormatJob& job)>;

// One shred job on one disk: report header, the engine, formatting, the final status, and
// the report when the job ends. It owns its progress, its findings, its documents' outcome
// and its abort request; observers hear of each turn.
class CVSKRMShredThread {
public:
    CVSKRMShredThread(std::shared_ptr<DeviceRecord> record, std::int32_t algorithm,
                      JobClock clock = {});
    ~CVSKRMShredThread();

    // Before the job runs: observers are never added while it reports.
    void addObserver(std::shared_ptr<JobObserver> observer);
    void setFormatter(DiskFormatter formatter) { formatter_ = std::move(formatter); }
    // The table whose lock guards the record's texts.
    void setTable(std::shared_ptr<DeviceTable> table) { table_ = std::move(table); }
    // Who opens the disk when this process may not (none: the engine opens it itself).
    void setDiskAuthorization(std::shared_ptr<platform::DiskAuthorization> authorization) {
        authorization_ = std::move(authorization);
    }
    // Formats after a successful shred, or not, whatever the user's setting says (a run of
    // the command line that asked for it); unset: the setting, read when the shred ends.
    void setFormatDrive(std::optional<bool> format) { formatDrive_ = format; }
    // The medium's asset number, for its report and certificate; empty: none.
    void setAssetNumber(const QString& asset) { asset_ = asset; }
    // Where the medium came from, as the operator gave it; empty: not given.
    void setSource(const QString& source) { source_ = source; }
    // Runs the whole job on the calling thread: the job, then the report.
    void Run();
    // True once Run() has returned: the final status and the written files are complete.
    bool hasEnded() const { return ended_.load(std::memory_order_acquire); }
    bool InitInstance();
    int ExitInstance();

    // One turn of the engine, the format or the job's end, as the engine's adapter hands it
    // over: the job's progress takes it and its observers hear of it.
    void take(const EngineEvent& event);
    // What became of the job's documents once it ended.
    void settleDocuments(const DocumentsEvent& documents);
    // Asks the job to stop: its progress says so until the job has its last word, and the
    // engine or the format stops. False when the job had ended or is not running.
    bool requestAbort();
    // The job as it stands, taken whole.
    JobProgress progress() const;

    JobStatus finalStatus() const { return finalStatus_.load(); }
    // Its own format began: a final -7 is then that format's failure, not the engine's code.
    bool formatBegan() const { return formatBegan_; }
    const ShredReport* report() const { return report_.get(); }
    // Every file the job wrote for its user, in the order written (its report, then its
    // certificate), so that a front end can name each document a job leaves; empty when
    // none was written.
    QStringList writtenFiles();
    // The report, and the certificate beside it; empty when that one was not written.
    QString reportPath();
    QString certificatePath();
    // True when the report was written but its certificate, though wanted, was not.
    bool certificateMissing();
    // True when signing was asked for and a document of the job was left unsigned.
    bool documentsUnsigned();
    // For a job that did not end when the program must: writes its report now, as aborted,
    // unless the job is writing it itself. The job never writes a second one.
    void abandon();
    const std::shared_ptr<DeviceRecord>& record() const { return record_; }
    // The disk as its row showed it when the job started: a job outlives its row.
    void setDisk(RowDisk disk) { disk_ = std::move(disk); }
    const RowDisk& disk() const { return disk_; }

    // While the engine is silent (a device that stopped answering), the last progress is
    // reported again this often, so the row can tell a stall from slow progress.
    void setHeartbeat(std::chrono::milliseconds interval) { heartbeat_ = interval; }

private:
    // Observers hear of the event with the progress it left.
    void publish(const JobEvent& event, const JobProgress& progress,
                 const JobProgressChange& change);
    // The event taken into the job's state; called under mutex_.
    std::pair<JobProgress, JobProgressChange> applyLocked(const EngineEvent& event);
    void keepReportingWhileSilent();
    JobStatus callEngine();
    // Why the system would not open the disk for the job, or None.
    JobStatus authorizeDisk(std::unique_ptr<platform::AuthorizedDisk>& disk);
    // The report's header and the record on disk, before anything is written.
    void beginReport();
    // The engine's part with the disk the system opened; its result.
    JobStatus shredWith(std::unique_ptr<platform::AuthorizedDisk>& disk);
    // The format after a successful shred; the job's final status.
    JobStatus formatWith(std::unique_ptr<platform::AuthorizedDisk>& disk);
    // The outcome goes into the report and the job ends with status.
    void end(JobStatus engineResult);
    // The engine wrote zeros over all the medium claims to hold and read them back: the
    // format need not write them again.
    bool wroteVerifiedZeros();
    // Runs fn on the report under the lock that keeps abandon() and the job apart.
    template <typename Fn> void withReport(Fn&& fn);
    // The job's record says how far it got: at once when the phase or pass changed, else
    // at most every few seconds. Called on the engine's thread only.
    void recordProgress(std::int64_t bytesLeft, std::int64_t bytesDone);
    // Writes the record's update; called with the report under reportMutex_.
    static void updateRecord(ShredReport& report);
    // The report, its signature and its certificate; under reportMutex_.
    int writeDocuments(ShredReport& report, bool withTimestamp);
    // Who the job is done for, where and with what, as it begins.
    JobProvenance provenance(platform::MediumType mediumType) const;

    std::shared_ptr<SettingsStore> settings_;
    std::shared_ptr<DeviceRecord> record_;
    RowDisk disk_;
    std::shared_ptr<DeviceTable> table_;
    std::uint16_t driveLetter_;
    std::uint32_t deviceNumber_;
    std::int32_t algorithm_;
    const unsigned char* abortFlag_;
    JobClock clock_;
    std::vector<std::shared_ptr<JobObserver>> observers_;
    DiskFormatter formatter_;
    KestruneDiskIdentity identity_{};
    bool identityKnown_ = false;
    std::shared_ptr<platform::DiskAuthorization> authorization_;
    std::timed_mutex reportMutex_;
    std::unique_ptr<ShredReport> report_;
    std::shared_ptr<LanguageManager> language_;
    bool reportWritten_ = false;
    std::unique_ptr<JobDocuments> documents_;
    // What the format did, for the certificate; written by the job's thread before its
    // report, under reportMutex_.
    bool labelled_ = false;
    std::uint64_t capacity_ = 0;
    QString asset_;
    QString source_;
    std::optional<bool> formatDrive_;
    std::atomic<JobStatus> finalStatus_{JobStatus::None};
    std::atomic<bool> ended_{false};
    std::atomic<bool> formatBegan_{false};

    // Observers hear the turns in the order they were taken: the heartbeat's repeat of an old
    // progress must never come after the progress that replaced it. Taken before mutex_.
    std::mutex telling_;
    // The job's state: its progress, its findings, and what the heartbeat repeats. One short
    // lock, never held while an observer is called or anything is waited for but the
    // heartbeat's interval.
    mutable std::mutex mutex_;
    JobProgressEstimator estimator_;
    JobFindings findings_;
    std::condition_variable engineDone_;
    bool engineRunning_ = false;
    bool engineCalled_ = false;
    std::optional<ProgressEvent> lastProgress_;
    std::chrono::steady_clock::time_point lastRelayed_;
    // What the record last said of the job's progress, and when (the engine's thread only).
    JobRecordProgress recorded_;
    std::chrono::steady_clock::time_point lastRecorded_;
    std::chrono::milliseconds heartbeat_{1000};
};

} // namespace kestrune
