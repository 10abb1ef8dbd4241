#pragma once

#include "devices/DeviceListModel.h"
#include "devices/DeviceRecord.h"
#include "shred/FormatAndLabel.h"
#include "shred/ShredReport.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include <QStringList>

#include <kestrune/disk_numbers.h>
#include <kestrune/shred_abi.h>

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

// What a job hands to the step that formats its disk after the engine shredded it.
struct FormatJob {
    // The disk the engine was given: resolved once, when the job began, so a number that
    // has meanwhile passed to another disk can never lead the format astray.
    KestruneDiskIdentity identity{};
    bool identityKnown = false;
    std::uint32_t deviceNumber = 0;
    ShredStatusCallback callback = nullptr;
    void* context = nullptr;
    const unsigned char* abortFlag = nullptr;
    // The volume label to write (stored upper-case), and where the formatter says whether
    // it was written.
    QString label;
    bool* labelled = nullptr;
    // The job wrote zeros over the whole medium and read them back.
    bool diskReadsAsZeros = false;
};
using DiskFormatter = std::function<FormatResult(const FormatJob& job)>;

// One shred job on one disk: report header, the engine, formatting, the final status,
// and the report when the job ends.
class CVSKRMShredThread {
public:
    CVSKRMShredThread(void* context, std::shared_ptr<DeviceRecord> record, std::int32_t algorithm,
                      ShredStatusCallback callback, std::int32_t reserved);
    ~CVSKRMShredThread();

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

    std::int32_t finalStatus() const { return finalStatus_; }
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
    // What the engine reports goes through here: progress on to the display, findings into
    // the report.
    static void relayStatus(void* self, std::int32_t deviceNumber, std::int32_t status,
                            std::int64_t bytesLeft, std::int64_t secondValue, double speed);
    void relay(std::int32_t status, std::int64_t bytesLeft, std::int64_t secondValue, double speed);
    void keepReportingWhileSilent();
    std::int32_t callEngine();
    // 0, or why the system would not open the disk for the job.
    std::int32_t authorizeDisk(std::unique_ptr<platform::AuthorizedDisk>& disk);
    void reportStatus(std::int32_t status, std::int64_t detail = 0);
    // The engine wrote zeros over all the medium claims to hold and read them back: the
    // format need not write them again.
    bool wroteVerifiedZeros();
    // The engine's read-back matched everything it wrote.
    bool verifiedNow();
    // Runs fn on the report under the lock that keeps abandon() and the job apart.
    template <typename Fn> void withReport(Fn&& fn);
    // The job's record says how far it got: at once when the phase or pass changed, else
    // at most every few seconds. Called under relayMutex_.
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
    std::int32_t reserved_;
    const unsigned char* abortFlag_;
    void* context_;
    ShredStatusCallback callback_;
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
    std::atomic<std::int32_t> finalStatus_{0};
    std::atomic<bool> ended_{false};
    std::atomic<bool> formatBegan_{false};

    // The engine's findings and the last progress, guarded by relayMutex_, which is also
    // held while a report is handed on, so reports reach the display in order.
    std::mutex relayMutex_;
    std::condition_variable engineDone_;
    bool engineRunning_ = false;
    std::optional<std::uint64_t> usableBytes_; // from the engine's finding, when it came
    // 0 not reached, else the finding: SHRED_FINDING_VERIFIED, _VERIFY_MISMATCH or
    // _VERIFY_INTERRUPTED, with the offset where the read-back ended.
    int verification_ = 0;
    std::uint64_t mismatchOffset_ = 0;
    std::optional<int> enginePasses_; // as the engine reported them
    std::vector<ReportRange> ranges_; // as the engine named them, in order
    bool engineCalled_ = false;
    bool progressSeen_ = false;
    std::int32_t lastProgress_ = 0;
    std::int64_t lastBytesLeft_ = 0;
    std::int64_t lastSecondValue_ = 0;
    std::chrono::steady_clock::time_point lastRelayed_;
    // What the record last said of the job's progress, and when.
    JobRecordProgress recorded_;
    std::chrono::steady_clock::time_point lastRecorded_;
    std::chrono::milliseconds heartbeat_{1000};
};

} // namespace kestrune
