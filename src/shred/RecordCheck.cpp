#include "shred/RecordCheck.h"

#include "shred/DocumentSigner.h"
#include "shred/ErasureCertificate.h"
#include "shred/PdfSignature.h"

#include <QCryptographicHash>
#include <QFile>
#include <QFileInfo>
#include <optional>

namespace kestrune {
namespace {

// Larger files are not a job's documents.
constexpr qint64 kMaxDocumentSize = 64 << 20;

std::optional<QByteArray> readWhole(const QString& path, QString* problem) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        *problem = file.errorString();
        return std::nullopt;
    }
    if (file.size() > kMaxDocumentSize) {
        *problem = QStringLiteral("it is larger than a job's document can be");
        return std::nullopt;
    }
    const QByteArray bytes = file.readAll();
    if (file.error() != QFileDevice::NoError) {
        *problem = file.errorString();
        return std::nullopt;
    }
    return bytes;
}

QString signedBy(const SignatureFindings& findings) {
    QString text =
        QStringLiteral("signed by %1")
            .arg(findings.signer.isEmpty() ? QStringLiteral("an unnamed signer") : findings.signer);
    if (!findings.signingTime.isEmpty())
        text += QStringLiteral(" at %1").arg(findings.signingTime);
    text += findings.timestampTime.isEmpty()
                ? QStringLiteral(", no time stamp")
                : QStringLiteral(", time-stamped %1").arg(findings.timestampTime);
    return text;
}

RecordCheck signatureCheck(const QString& what, const SignatureFindings& findings) {
    if (findings.valid)
        return {true, QStringLiteral("%1: the signature holds: %2").arg(what, signedBy(findings))};
    return {false,
            QStringLiteral("%1: the signature does not hold: %2").arg(what, findings.problem)};
}

} // namespace

std::vector<RecordCheck> checkRecord(const QString& path) {
    std::vector<RecordCheck> checks;
    const QFileInfo given(path);
    const QString suffix = given.suffix().toLower();
    if (suffix != QLatin1String("pdf") && suffix != QLatin1String("xml")) {
        checks.push_back({false, QStringLiteral("%1: neither a certificate (.pdf) nor a report "
                                                "(.xml)")
                                     .arg(path)});
        return checks;
    }
    const QString base = given.path() + u'/' + given.completeBaseName();
    const QString reportPath =
        suffix == QLatin1String("xml") ? path : base + QStringLiteral(".xml");
    const QString certificatePath =
        suffix == QLatin1String("pdf") ? path : base + QStringLiteral(".pdf");
    const QString certificateName = QStringLiteral("certificate %1").arg(certificatePath);
    const QString reportName = QStringLiteral("report %1").arg(reportPath);

    QString problem;
    const std::optional<QByteArray> certificate = readWhole(certificatePath, &problem);
    if (!certificate)
        checks.push_back(
            {false, QStringLiteral("%1: cannot be read: %2").arg(certificateName, problem)});
    const std::optional<QByteArray> report = readWhole(reportPath, &problem);
    if (!report)
        checks.push_back(
            {false, QStringLiteral("%1: cannot be read: %2").arg(reportName, problem)});

    if (certificate && report) {
        const QString named = certifiedReportSha256(*certificate);
        const QString actual = QString::fromLatin1(
            QCryptographicHash::hash(*report, QCryptographicHash::Sha256).toHex());
        if (named.isEmpty())
            checks.push_back(
                {false, QStringLiteral("%1: names no SHA-256 of its report").arg(certificateName)});
        else if (named == actual)
            checks.push_back({true, QStringLiteral("%1: its SHA-256 %2 is the one the "
                                                   "certificate names")
                                        .arg(reportName, actual)});
        else
            checks.push_back({false, QStringLiteral("%1: its SHA-256 %2 is not the %3 that %4 "
                                                    "names")
                                         .arg(reportName, actual, named, certificateName)});
    }

    if (certificate) {
        const PdfSignatureParts parts = pdfSignatureParts(*certificate);
        if (!parts.present)
            checks.push_back({true, QStringLiteral("%1: not signed").arg(certificateName)});
        else if (!parts.problem.isEmpty())
            checks.push_back({false, QStringLiteral("%1: the signature does not hold: %2")
                                         .arg(certificateName, parts.problem)});
        else
            checks.push_back(signatureCheck(
                certificateName, checkDetachedSignature(parts.signature, parts.signedBytes)));
    }

    if (report) {
        const QString signaturePath = reportPath + QStringLiteral(".p7s");
        if (!QFileInfo::exists(signaturePath)) {
            checks.push_back({true, QStringLiteral("%1: not signed (no %2 beside it)")
                                        .arg(reportName, QFileInfo(signaturePath).fileName())});
        } else if (const std::optional<QByteArray> signature = readWhole(signaturePath, &problem)) {
            checks.push_back(signatureCheck(
                QStringLiteral("%1 (with %2)").arg(reportName, QFileInfo(signaturePath).fileName()),
                checkDetachedSignature(*signature, *report)));
        } else {
            checks.push_back({false, QStringLiteral("%1: its signature %2 cannot be read: %3")
                                         .arg(reportName, signaturePath, problem)});
        }
    }
    return checks;
}

} // namespace kestrune
