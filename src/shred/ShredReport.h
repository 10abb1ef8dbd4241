#pragma once

#include "platform/MediumType.h"
#include "shred/JobStatus.h"

#include <QString>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

namespace kestrune {

class LanguageManager;
namespace platform {
class RecordClaim;
}

// How the read-back of a job ended; Interrupted: it began but stopped before its end.
enum class ReportVerification { NotReached, Passed, Failed, Interrupted };

// A range of the medium the engine named: what the read-back found there, or that a
// counterfeit kept the last pass there, outside its usable start.
struct ReportRange {
    enum class Kind { ReadWrong, Unreadable, Kept };
    Kind kind = Kind::ReadWrong;
    std::uint64_t offset = 0;
    std::uint64_t length = 0;
    bool operator==(const ReportRange&) const = default;
};

// What a job's record says of the job: still running, ended (the normal report), or found by
// a later start of the program never to have ended.
enum class RecordState { Running, Ended, Interrupted };

// How far a job got, as its record keeps it.
struct JobRecordProgress {
    enum class Phase { Starting, Passes, ReadBack, Format };
    Phase phase = Phase::Starting;
    std::uint64_t passBytes = 0;              // what one pass writes; 0: not reported yet
    std::vector<std::uint64_t> passesWritten; // the bytes each pass wrote, in order
    std::uint64_t readBack = 0;               // the bytes the read-back checked
    // From a progress report over the whole job (every pass, then one read-back of the same
    // size): the bytes done and left.
    static JobRecordProgress fromBytes(int passes, std::uint64_t done, std::uint64_t left);
    // The passes that wrote every byte.
    int passesComplete() const;
    bool operator==(const JobRecordProgress&) const = default;
};

// Who erased the medium, where, and with what: the same on the report and its certificate.
struct JobProvenance {
    QString toolName;
    QString toolVersion; // empty: not determined
    platform::MediumType mediumType = platform::MediumType::Disk;
    QString operatorLogin;
    QString operatorName; // the full name; empty when the account has none
    QString organisation; // from the machine's settings; empty: not set
    QString location;
    QString asset;  // the asset number given for the job; empty: none
    QString source; // where the medium came from, as the operator gave it; empty: not given
    QString host;   // the machine that ran the job
};

// The XML report of one shred job, written to the log folder when the job ends.
class ShredReport {
public:
    // Asked for another file name when the report cannot be created; an empty answer gives
    // up. The window asks with a save-file dialog, the terminal says it cannot ask; without
    // an asker, nobody is asked and the report is given up.
    using SaveFileAsker = std::function<QString(const QString& suggestedName)>;

    ShredReport(std::int32_t algorithm, std::shared_ptr<LanguageManager> language,
                std::int64_t startTime = -1, const QString& id = {});
    ~ShredReport();

    // The report of a job whose record a later start found never to have ended, with the
    // claim on it: it says interrupted, with the last progress recorded. Nothing, and why in
    // *failure, when the record cannot be read as one.
    static std::unique_ptr<ShredReport>
    fromInterruptedRecord(const QByteArray& record, std::shared_ptr<LanguageManager> language,
                          std::unique_ptr<platform::RecordClaim> claim, QString* failure);

    void addHardwareItems(const QString& serial, const QString& make, const QString& model,
                          const QString& size, const QString& bus);
    void setCleaned() { isCleaned_ = true; }
    void setFormatted() { isFormatted_ = true; }
    // Outcome details written after the clean information.
    void setOutcome(JobStatus status, std::uint64_t capacityBytes) {
        finalStatus_ = status;
        capacityBytes_ = capacityBytes;
    }
    // What the capacity check found the medium to hold (0: it did not run to its end).
    void setUsableCapacity(std::optional<std::uint64_t> bytes) { usableBytes_ = bytes; }
    // The offset is where the read-back ended: the first difference, or how far an
    // interrupted one got.
    void setVerification(ReportVerification outcome, std::uint64_t offset = 0) {
        verification_ = outcome;
        mismatchOffset_ = offset;
    }
    void setRanges(std::vector<ReportRange> ranges) { ranges_ = std::move(ranges); }
    const std::vector<ReportRange>& ranges() const { return ranges_; }
    // The passes that reached the medium; nothing: not known.
    void setPassesDone(std::optional<int> passes) { passesDone_ = passes; }
    void setProvenance(const JobProvenance& provenance) { provenance_ = provenance; }
    // Who signs the job's documents; or, where signing was asked for and cannot be done,
    // why not. Both empty: signing was not asked for.
    void setSigning(const QString& signer, const QString& unsignedReason) {
        signer_ = signer;
        unsignedReason_ = unsignedReason;
    }
    void setProgress(const JobRecordProgress& progress) { progress_ = progress; }
    const JobRecordProgress& progress() const { return progress_; }
    RecordState state() const { return state_; }
    // When the record last said how far the job got; -1: it has no record.
    std::int64_t recordedTime() const { return recordedTime_; }

    // Puts the job's record on disk, as running, under the report's name before the job
    // writes anything: claimed, so that no other program takes it for interrupted while
    // this one lives. Empty, or why there is none.
    QString openRecord();
    // The record says how far the job got now; empty, or why it could not.
    QString updateRecord();
    bool hasRecord() const { return claim_ != nullptr; }
    // 1 when written, 0 when the user gave up. A job's record takes the report's place.
    int finish(std::int64_t finishTime = -1);

    // The folder the reports go to, ending in "/".
    QString logFolder() const;
    static QString LogFolder(const LanguageManager* language);
    QString makeReportFileName() const;
    QString body() const { return body_; }
    QString writtenPath() const { return writtenPath_; }
    // True when the report took the place of an older file, at a name the user chose.
    bool replacedOlderFile() const { return replacedOlderFile_; }
    bool isCleaned() const { return isCleaned_; }
    bool isFormatted() const { return isFormatted_; }

    // What the report states, for the documents written beside it.
    QString id() const { return id_; }
    std::int32_t algorithm() const { return algorithm_; }
    QString serial() const { return serial_; }
    QString make() const { return make_; }
    QString model() const { return model_; }
    QString bus() const { return bus_; }
    std::int64_t startTime() const { return startTime_; }
    // Set by finish(); -1 before.
    std::int64_t finishTime() const { return finishTime_; }
    JobStatus finalStatus() const { return finalStatus_; }
    std::uint64_t capacityBytes() const { return capacityBytes_; }
    std::optional<std::uint64_t> usableBytes() const { return usableBytes_; }
    ReportVerification verification() const { return verification_; }
    std::uint64_t mismatchOffset() const { return mismatchOffset_; }
    std::optional<int> passesDone() const { return passesDone_; }
    const JobProvenance& provenance() const { return provenance_; }

    static void setSaveFileAsker(SaveFileAsker asker);
    static QString escapeXml(const QString& text);

private:
    QString text(const char* key) const;
    QString sanitization(std::int64_t end, RecordState state) const;
    // The whole document as it stands, ending at end.
    QString document(std::int64_t end, RecordState state) const;
    // The final report over the record; false when there is none or it could not be written.
    bool completeRecord();
    QString formatLocalTime(const QString& format) const;
    void appendLine(const QString& line) { body_ += line + u'\n'; }

    std::int32_t algorithm_;
    bool isCleaned_ = false;
    bool isFormatted_ = false;
    QString serial_, make_, model_, size_, bus_;
    std::shared_ptr<LanguageManager> language_;
    std::int64_t startTime_;
    std::int64_t finishTime_ = -1;
    QString id_;
    QString body_;
    JobStatus finalStatus_ = JobStatus::None;
    std::uint64_t capacityBytes_ = 0;
    std::optional<std::uint64_t> usableBytes_; // none: the capacity check did not end
    ReportVerification verification_ = ReportVerification::NotReached;
    std::uint64_t mismatchOffset_ = 0;
    std::optional<int> passesDone_;
    std::vector<ReportRange> ranges_;
    JobProvenance provenance_;
    QString writtenPath_;
    bool replacedOlderFile_ = false;
    QString signer_;
    QString unsignedReason_;
    RecordState state_ = RecordState::Running;
    JobRecordProgress progress_;
    std::unique_ptr<platform::RecordClaim> claim_;
    std::int64_t recordedTime_ = -1;
};

// The progress element of a report (how far each pass and the read-back got).
QString progressElement(const JobRecordProgress& progress, RecordState state, std::int64_t at,
                        int passes, std::uint64_t claimedBytes);

} // namespace kestrune
