#pragma once

#include <QString>
#include <memory>

namespace kestrune {

class DocumentSigner;
class LanguageManager;
class SettingsStore;
class ShredReport;
struct CertificateFacts;

// The documents a job leaves beside its report: the report's signature and the certificate,
// signed where the settings name a key. A running job and a later start that completes an
// interrupted job's record make them alike.
class JobDocuments {
public:
    JobDocuments(std::shared_ptr<SettingsStore> settings, std::shared_ptr<LanguageManager> language)
        : settings_(std::move(settings)), language_(std::move(language)) {}

    // Reads the signing settings and files before the report is written, so that the report
    // can say who signs or why nothing is signed. The time stamp needs the network, which
    // a job abandoned at the program's end does not wait for.
    void prepareSigning(ShredReport& report, bool withTimestamp);
    // The report's detached signature beside the written report.
    void signReport(const ShredReport& report);
    // Writes the certificate beside a written report, unless the user turned certificates
    // off; false when it was wanted and could not be written (said on the trace and in the
    // system log). label: the volume label the format wrote; empty: none.
    bool writeCertificate(const ShredReport& report, const QString& label);

    // The certificate written; empty when none.
    const QString& certificatePath() const { return certificatePath_; }
    bool certificateMissing() const { return certificateMissing_; }
    // Signing was asked for and a document was left unsigned.
    bool documentsUnsigned() const { return documentsUnsigned_; }

private:
    void noteUnsigned(const QString& document, const QString& why);

    std::shared_ptr<SettingsStore> settings_;
    std::shared_ptr<LanguageManager> language_;
    std::shared_ptr<const DocumentSigner> signer_; // none: nothing is signed
    QString unsignedReason_;                       // signing was asked for: why it is not done
    bool documentsUnsigned_ = false;
    QString certificatePath_;
    bool certificateMissing_ = false;
};

// What the certificate of a report states.
CertificateFacts CertificateFactsOf(const ShredReport& report, const QString& label);

} // namespace kestrune
