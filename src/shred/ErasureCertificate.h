#pragma once

#include "shred/PdfSignature.h"
#include "shred/ShredReport.h"

#include <QByteArray>
#include <QString>
#include <cstdint>
#include <optional>

namespace kestrune {

class LanguageManager;

// Everything one certificate states, gathered by the job where each fact is known. The
// certificate draws only from this and the language texts, so it can be made without a disk.
struct CertificateFacts {
    JobProvenance provenance;
    QString vendor;
    QString product;
    QString serial;
    QString bus;
    std::uint64_t claimedBytes = 0;
    std::optional<std::uint64_t> usableBytes; // none: the capacity check did not end
    std::int32_t algorithm = 0;
    int passesPlanned = 0;
    std::optional<int> passesDone; // nothing: not known
    ReportVerification verification = ReportVerification::NotReached;
    std::uint64_t mismatchOffset = 0;
    std::int64_t startTime = 0; // seconds since the epoch
    std::int64_t finishTime = 0;
    JobStatus finalStatus = JobStatus::None;
    bool formatBegan = true; // false: a final -7 is the engine's own code
    bool formatted = false;
    QString label; // the volume label written; empty: none
    QString reportId;
    QString reportFile;         // the report's file name
    QString reportSha256;       // of the report file as it lies on disk; empty: not known
    QString unsignedReason;     // signing was asked for and cannot be done: why; empty: not so
    JobRecordProgress progress; // how far each pass and the read-back got
    RecordState state = RecordState::Ended;
};

// What a certificate can say of its job.
enum class CertificateVerdict {
    Certified,    // every pass written, read back and matched; the job succeeded
    NotCompleted, // the erasure itself did not run to its verified end
    NotCertified, // the medium was erased and verified, but the job did not succeed
};
CertificateVerdict certificateVerdict(const CertificateFacts& facts);

// The standards in whose terms the certificate and the report name the sanitization.
inline constexpr char kSanitizationStandard[] = "NIST SP 800-88 Rev. 2";
inline constexpr char kSanitizationTechniques[] = "IEEE 2883-2022";
inline constexpr char kSanitizationClear[] = "Clear";

// True when every pass reached every block the medium claims to have and all of it read back
// matching: a logical overwrite of every addressable location, which those standards call
// Clear.
bool reachedClear(JobStatus finalStatus, int passesPlanned, std::optional<int> passesDone,
                  std::uint64_t claimedBytes, std::optional<std::uint64_t> usableBytes,
                  ReportVerification verification);

// The passes the algorithm of the settings runs; 0 for an unknown algorithm.
int plannedPasses(std::int32_t algorithm);

// The certificate's name beside a report: the same name ending in ".pdf".
QString certificatePathFor(const QString& reportPath);

// A size in the binary units it is counted in ("64.00 MiB"), with the language's decimal
// point; and a count with its digits grouped in threes ("67,108,864").
QString BinarySizeText(std::uint64_t bytes, const QString& decimalPoint);
QString GroupedNumber(std::uint64_t number, const QString& separator);
// A moment in local time with its offset from UTC ("+01:00"), so that it reads the same in
// any time zone: format is QDateTime's, beforeOffset goes between the two.
QString LocalTimeWithZone(std::int64_t seconds, const char* format, const char* beforeOffset);

// The SHA-256 of a file's bytes in lower-case hex; empty when it cannot be read.
QString sha256OfFile(const QString& path);
// A document the job wrote, read back with the rights it was written with; nothing when it
// cannot be read.
std::optional<QByteArray> readDocumentBack(const QString& path);

// Where the operator signs on the page, for the signature's widget.
PdfBox operatorSignatureBox();
// The report's SHA-256 as the certificate's metadata states it, for a reader to compare
// with the report; empty when it states none. The page prints the same value.
QString certifiedReportSha256(const QByteArray& pdf);

// The one A4 page as a PDF in the language's current texts; empty when it could not be
// made, and why in *failure.
QByteArray renderErasureCertificate(const CertificateFacts& facts, const LanguageManager& language,
                                    QString* failure = nullptr);

enum class CertificateFileMode {
    NewFile,         // only where no file of that name exists
    ReplaceExisting, // beside a report whose name the user chose over an older file
};
// Writes the bytes whole and durable, or leaves no file, with the rights its folder calls
// for (the invoking user's under sudo or pkexec). Empty on success, else why not.
QString writeCertificateFile(const QString& path, const QByteArray& pdf, CertificateFileMode mode);

} // namespace kestrune
