#include "shred/JobDocuments.h"

#include "app/SettingsStore.h"
#include "lang/LanguageManager.h"
#include "platform/SystemLog.h"
#include "shred/DocumentSigner.h"
#include "shred/ErasureCertificate.h"
#include "shred/ShredReport.h"

#include <QFileInfo>
#include <cstdio>

namespace kestrune {

CertificateFacts CertificateFactsOf(const ShredReport& report, const QString& label) {
    CertificateFacts facts;
    facts.provenance = report.provenance();
    facts.vendor = report.make();
    facts.product = report.model();
    facts.serial = report.serial();
    facts.bus = report.bus();
    facts.claimedBytes = report.capacityBytes();
    facts.usableBytes = report.usableBytes();
    facts.algorithm = report.algorithm();
    facts.passesPlanned = plannedPasses(report.algorithm());
    facts.passesDone = report.passesDone();
    facts.verification = report.verification();
    facts.mismatchOffset = report.mismatchOffset();
    facts.startTime = report.startTime();
    facts.finishTime = report.finishTime();
    facts.finalStatus = report.finalStatus();
    facts.formatted = report.isFormatted();
    // Only the job's own format can fail as one; a -7 before it is the engine's own code.
    facts.formatBegan =
        facts.formatted || report.progress().phase == JobRecordProgress::Phase::Format;
    if (facts.formatted)
        facts.label = label;
    facts.progress = report.progress();
    facts.state = report.state();
    facts.reportId = report.id();
    facts.reportFile = QFileInfo(report.writtenPath()).fileName();
    return facts;
}

bool JobDocuments::writeCertificate(const ShredReport& report, const QString& label) {
    if (!settings_->GetCertificates())
        return true;
    const QString path = certificatePathFor(report.writtenPath());
    CertificateFacts facts = CertificateFactsOf(report, label);
    // The hash is of the file as it lies on disk, read back, not of what was meant to go
    // there.
    facts.reportSha256 = sha256OfFile(report.writtenPath());
    QString failure;
    if (facts.reportSha256.isEmpty()) {
        failure = QStringLiteral("the report could not be read back");
    } else if (!language_ || !language_->HasLanguages()) {
        failure = QStringLiteral("no language file gives its texts");
    } else {
        facts.unsignedReason = unsignedReason_;
        QByteArray pdf = renderErasureCertificate(facts, *language_, &failure);
        if (!pdf.isEmpty() && signer_) {
            QString signFailure;
            QString timestampProblem;
            const QByteArray signedPdf =
                signPdf(pdf, operatorSignatureBox(), *signer_, &signFailure, &timestampProblem);
            if (!timestampProblem.isEmpty())
                platform::LogWarning(QStringLiteral("The certificate beside %1 has no time stamp: "
                                                    "%2.")
                                         .arg(report.writtenPath(), timestampProblem));
            if (signedPdf.isEmpty()) {
                // Unsigned, and the page says so.
                noteUnsigned(path, signFailure);
                facts.unsignedReason = signFailure;
                pdf = renderErasureCertificate(facts, *language_, &failure);
            } else {
                pdf = signedPdf;
            }
        }
        if (!pdf.isEmpty())
            failure = writeCertificateFile(path, pdf,
                                           report.replacedOlderFile()
                                               ? CertificateFileMode::ReplaceExisting
                                               : CertificateFileMode::NewFile);
    }
    if (failure.isEmpty()) {
        certificatePath_ = path;
        std::printf("Certificate: %s\n", path.toUtf8().constData());
        std::fflush(stdout);
        return true;
    }
    certificateMissing_ = true;
    platform::LogWarning(QStringLiteral("No certificate was written beside the report %1: %2.")
                             .arg(report.writtenPath(), failure));
    return false;
}

void JobDocuments::prepareSigning(ShredReport& report, bool withTimestamp) {
    SigningSettings settings = settings_->GetSigning();
    if (!settings.configured())
        return;
    if (!withTimestamp)
        settings.timestampUrl.clear();
    signer_ = DocumentSigner::load(settings, &unsignedReason_);
    if (!signer_)
        noteUnsigned(QStringLiteral("its report and certificate"), unsignedReason_);
    report.setSigning(signer_ ? signer_->signerName() : QString(), unsignedReason_);
}

void JobDocuments::signReport(const ShredReport& report) {
    if (!signer_)
        return;
    const QString path = report.writtenPath() + QStringLiteral(".p7s");
    // The bytes as they lie on disk are what a reader will check.
    const std::optional<QByteArray> bytes = readDocumentBack(report.writtenPath());
    QString failure = bytes ? QString() : QStringLiteral("the report could not be read back");
    QString timestampProblem;
    const QByteArray signature =
        bytes ? signer_->sign(*bytes, &failure, &timestampProblem) : QByteArray();
    if (!timestampProblem.isEmpty())
        platform::LogWarning(QStringLiteral("The signature of the report %1 has no time stamp: %2.")
                                 .arg(report.writtenPath(), timestampProblem));
    if (!signature.isEmpty())
        failure =
            writeCertificateFile(path, signature,
                                 report.replacedOlderFile() ? CertificateFileMode::ReplaceExisting
                                                            : CertificateFileMode::NewFile);
    if (!failure.isEmpty())
        noteUnsigned(path, failure);
}

void JobDocuments::noteUnsigned(const QString& document, const QString& why) {
    documentsUnsigned_ = true;
    platform::LogWarning(QStringLiteral("Not signed: %1: %2.").arg(document, why));
}

} // namespace kestrune
