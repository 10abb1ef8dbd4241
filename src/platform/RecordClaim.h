#pragma once

#include <QString>
#include <memory>
#include <vector>

namespace kestrune::platform {

class RecordClaim;
std::vector<std::unique_ptr<RecordClaim>> OrphanedRecordClaims(const QString& folder);

// A running job's hold on its report: a hidden file beside the report (".NAME.xml.running"),
// locked for as long as the job's process lives. The lock goes with the process, however it
// ends, so a claim nobody holds belongs to a job whose program ended before the job did.
class RecordClaim {
public:
    ~RecordClaim();
    RecordClaim(const RecordClaim&) = delete;
    RecordClaim& operator=(const RecordClaim&) = delete;

    // Claims the report's name before its record is written; nothing, and why in *failure,
    // when the claim cannot be made (*nameTaken: another job claims that name).
    static std::unique_ptr<RecordClaim> take(const QString& reportPath, QString* failure,
                                             bool* nameTaken = nullptr);

    const QString& reportPath() const { return reportPath_; }
    // The record is complete: the claim file goes, durably. Empty, or why it could not.
    QString release();
    // The record will not be completed where it lies: it goes, and then the claim. Empty,
    // or why not.
    QString dropRecord();

private:
    friend std::vector<std::unique_ptr<RecordClaim>> OrphanedRecordClaims(const QString& folder);
    RecordClaim(QString reportPath, QString claimName, int fd);
    QString reportPath_;
    QString claimName_;
    int fd_;
};

// The claims in the folder that no running job holds, each taken now, so that no other
// program completes the same record; a folder that cannot be read has none.
std::vector<std::unique_ptr<RecordClaim>> OrphanedRecordClaims(const QString& folder);

} // namespace kestrune::platform
