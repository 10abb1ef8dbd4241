#pragma once

#include "platform/MediumType.h"

#include <QString>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

namespace kestrune {

class LanguageManager;

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
                std::int64_t startTime = -1);

    void addHardwareItems(const QString& serial, const QString& make, const QString& model,
                          const QString& size, const QString& bus);
    void setCleaned() { isCleaned_ = true; }
    void setFormatted() { isFormatted_ = true; }
    // Outcome details written after the clean information.
    void setOutcome(std::int32_t status, std::uint64_t capacityBytes) {
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
    // 1 when written, 0 when the user gave up.
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
    std::int32_t finalStatus() const { return finalStatus_; }
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
    void appendSanitization();
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
    std::int32_t finalStatus_ = 0;
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
};

} // namespace kestrune
