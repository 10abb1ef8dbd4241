#include "shred/CVSKRMShredThread.h"

#include "app/SettingsStore.h"
#include "app/SystemUtil.h"
#include "devices/DeviceTable.h"
#include "lang/LanguageManager.h"
#include "platform/AccountName.h"
#include "platform/DiskAuthorization.h"
#include "platform/MessageService.h"
#include "platform/Module.h"
#include "platform/SystemLog.h"
#include "shred/DocumentSigner.h"
#include "shred/ErasureCertificate.h"
#include "shred/ShredReport.h"

#include <QFileInfo>
#include <QSysInfo>
#include <cstdio>
#include <thread>

namespace kestrune {
namespace {

const QString kEngineFile = QStringLiteral("VSKRemovableShredder.dll");
// As many as the engine's read-back lists at most, and what a counterfeit keeps.
constexpr std::size_t kMaxRanges = 512;
// The label a format writes, as FAT stores it.
const QString kVolumeLabel = QStringLiteral("SHREDDED");

void trace(const char* line) {
    std::fputs(line, stdout);
    std::fflush(stdout);
}

} // namespace

CVSKRMShredThread::CVSKRMShredThread(void* context, std::shared_ptr<DeviceRecord> record,
                                     std::int32_t algorithm, ShredStatusCallback callback,
                                     std::int32_t reserved)
    : settings_(GetSettingsStore()), record_(std::move(record)), driveLetter_(record_->driveLetter),
      deviceNumber_(record_->deviceNumber), algorithm_(algorithm), reserved_(reserved),
      abortFlag_(record_->abort.address()), context_(context), callback_(callback),
      authorization_(platform::diskAuthorizationForThisProcess()) {
    std::printf("CVSKRMShredThread: %d: algo: %d\n", static_cast<int>(deviceNumber_), algorithm_);
    std::fflush(stdout);
}

CVSKRMShredThread::~CVSKRMShredThread() = default;

void CVSKRMShredThread::Run() {
    InitInstance();
    ExitInstance();
    ended_.store(true, std::memory_order_release);
}

void CVSKRMShredThread::reportStatus(std::int32_t status, std::int64_t detail) {
    callback_(context_, static_cast<std::int32_t>(deviceNumber_), status, 0, detail, 0.0);
}

void CVSKRMShredThread::relayStatus(void* self, std::int32_t, std::int32_t status,
                                    std::int64_t bytesLeft, std::int64_t secondValue,
                                    double speed) {
    static_cast<CVSKRMShredThread*>(self)->relay(status, bytesLeft, secondValue, speed);
}

bool CVSKRMShredThread::wroteVerifiedZeros() {
    constexpr std::int32_t kOnePassOfZeros = 100;
    std::lock_guard guard(relayMutex_);
    return algorithm_ == kOnePassOfZeros && verification_ == SHRED_FINDING_VERIFIED &&
           (!usableBytes_ || *usableBytes_ >= capacity_);
}

void CVSKRMShredThread::relay(std::int32_t status, std::int64_t bytesLeft, std::int64_t secondValue,
                              double speed) {
    std::lock_guard guard(relayMutex_);
    if (status >= SHRED_FINDING_FIRST && status <= SHRED_FINDING_LAST) {
        if (status == SHRED_FINDING_CAPACITY) {
            usableBytes_ = static_cast<std::uint64_t>(secondValue);
        } else if (status == SHRED_FINDING_VERIFIED || status == SHRED_FINDING_VERIFY_MISMATCH ||
                   status == SHRED_FINDING_VERIFY_INTERRUPTED) {
            verification_ = status;
            mismatchOffset_ = static_cast<std::uint64_t>(secondValue);
        } else if (status == SHRED_FINDING_PASSES_DONE && secondValue >= 0 && secondValue <= 1000) {
            enginePasses_ = static_cast<int>(secondValue);
        } else if (status >= SHRED_FINDING_RANGE_WRONG && status <= SHRED_FINDING_RANGE_KEPT &&
                   bytesLeft >= 0 && secondValue > 0 && ranges_.size() < kMaxRanges) {
            const auto kind = status == SHRED_FINDING_RANGE_WRONG ? ReportRange::Kind::ReadWrong
                              : status == SHRED_FINDING_RANGE_UNREADABLE
                                  ? ReportRange::Kind::Unreadable
                                  : ReportRange::Kind::Kept;
            ranges_.push_back({kind, static_cast<std::uint64_t>(bytesLeft),
                               static_cast<std::uint64_t>(secondValue)});
        }
        // The job's progress keeps them too; they are no progress to repeat.
        callback_(context_, static_cast<std::int32_t>(deviceNumber_), status, bytesLeft,
                  secondValue, speed);
        return;
    }
    // The job's end is the worker's to report, once, with what it found out.
    if (status < 0)
        return;
    progressSeen_ = true;
    lastProgress_ = status;
    lastBytesLeft_ = bytesLeft;
    lastSecondValue_ = secondValue;
    lastRelayed_ = std::chrono::steady_clock::now();
    callback_(context_, static_cast<std::int32_t>(deviceNumber_), status, bytesLeft, secondValue,
              speed);
}

void CVSKRMShredThread::keepReportingWhileSilent() {
    std::unique_lock lock(relayMutex_);
    while (engineRunning_) {
        engineDone_.wait_for(lock, heartbeat_);
        if (!engineRunning_ || !progressSeen_ ||
            std::chrono::steady_clock::now() - lastRelayed_ < heartbeat_)
            continue;
        // Nothing moved: the same progress, without a speed sample.
        lastRelayed_ = std::chrono::steady_clock::now();
        callback_(context_, static_cast<std::int32_t>(deviceNumber_), lastProgress_, lastBytesLeft_,
                  lastSecondValue_, 0.0);
    }
}

std::int32_t CVSKRMShredThread::callEngine() {
    auto util = GetSystemUtil();
    const QString path = util->ComponentPathWithoutFallback(kEngineFile);
    std::unique_ptr<platform::Module> engine = platform::Module::load(path);
    const QString title = SystemUtil::ApplicationTitle();
    if (!engine) {
        platform::showMessage(
            QStringLiteral("Could not locate necessary dll 'VSKRemovableShredder.dll'"), title,
            platform::MB_ICONERROR_STYLE);
        return SHRED_STATUS_ENGINE_MISSING;
    }
    auto shred = engine->entry<VSKRMShredFn>(KESTRUNE_SHRED_ENTRY);
    if (!shred) {
        platform::showMessage(
            QStringLiteral(
                "Could not locate necessary dll 'VSKRemovableShredder.dll' (VSKRMShred)"),
            title, platform::MB_ICONERROR_STYLE);
        return SHRED_STATUS_ENGINE_MISSING;
    }
    {
        std::lock_guard guard(relayMutex_);
        engineRunning_ = true;
        engineCalled_ = true;
    }
    std::thread heartbeat([this] { keepReportingWhileSilent(); });
    const std::int32_t result =
        shred(driveLetter_, deviceNumber_, algorithm_, &relayStatus, this, reserved_, abortFlag_);
    {
        std::lock_guard guard(relayMutex_);
        engineRunning_ = false;
    }
    engineDone_.notify_all();
    heartbeat.join();
    return result;
}

std::int32_t CVSKRMShredThread::authorizeDisk(std::unique_ptr<platform::AuthorizedDisk>& disk) {
    // An image file is the user's own; a number already gone is the engine's to report.
    if (!authorization_ || !identityKnown_ || identity_.simulated)
        return 0;
    platform::DiskOpening opening = authorization_->openForWriting(identity_, abortFlag_);
    disk = std::move(opening.disk);
    return opening.status;
}

template <typename Fn> void CVSKRMShredThread::withReport(Fn&& fn) {
    std::lock_guard guard(reportMutex_);
    if (report_ && !reportWritten_)
        fn(*report_);
}

bool CVSKRMShredThread::InitInstance() {
    trace("Thread start!\n");
    auto language = GetLanguageManager();
    {
        std::lock_guard guard(reportMutex_);
        language_ = language;
        report_ = std::make_unique<ShredReport>(algorithm_, language);
    }
    QString serial, make, model, size, bus;
    std::uint64_t capacity = 0;
    platform::MediumType mediumType = platform::MediumType::Disk;
    {
        // The scan rewrites these texts under the table's lock.
        std::unique_lock<std::timed_mutex> guard;
        if (table_)
            guard = table_->lockByPolling();
        serial = record_->serialText;
        make = record_->vendorText;
        model = record_->productText;
        size = record_->sizeGigabytesText;
        bus = record_->busText;
        capacity = record_->sizeBytes;
        mediumType = record_->mediumType;
    }
    capacity_ = capacity;
    const JobProvenance who = provenance(mediumType);
    withReport([&](ShredReport& report) {
        report.addHardwareItems(serial, make, model, size, bus);
        report.setProvenance(who);
    });

    // The number stays this disk's while the job holds the record (see ScanDevices).
    identityKnown_ = kestrune_disk_number_resolve(deviceNumber_, &identity_) != 0;
    identity_.path[sizeof identity_.path - 1] = '\0';
    // Every step writes through the one descriptor the system opened for a normal user.
    std::unique_ptr<platform::AuthorizedDisk> disk;
    std::int32_t result = authorizeDisk(disk);
    if (result == 0) {
        if (disk)
            disk->handOver(deviceNumber_);
        result = callEngine();
        if (disk)
            disk->reclaim(deviceNumber_);
        std::printf("VSKRMShred: %d\n", result);
        std::fflush(stdout);
    }

    if (result == SHRED_STATUS_SHREDDED)
        withReport([](ShredReport& report) { report.setCleaned(); });
    const bool formatWanted = formatDrive_ ? *formatDrive_ : settings_->GetFormatDrive();
    if (result == SHRED_STATUS_SHREDDED && formatWanted) {
        if (AbortFlag::raisedAt(abortFlag_)) {
            // Abort pressed as the shred ended: the disk stays shredded and unformatted.
            finalStatus_ = SHRED_STATUS_ABORTED;
        } else {
            formatBegan_ = true;
            reportStatus(SHRED_STATUS_FORMATTING);
            if (disk)
                disk->handOver(deviceNumber_);
            bool labelled = false;
            const FormatResult formatted =
                formatter_ ? formatter_(FormatJob{identity_, identityKnown_, deviceNumber_,
                                                  callback_, context_, abortFlag_, kVolumeLabel,
                                                  &labelled, wroteVerifiedZeros()})
                           : FormatResult::Failed;
            if (disk)
                disk->reclaim(deviceNumber_);
            // Only a format that really completed counts as one.
            if (formatted == FormatResult::Formatted)
                withReport([labelled, this](ShredReport& report) {
                    report.setFormatted();
                    labelled_ = labelled;
                });
            finalStatus_ = formatted == FormatResult::Formatted ? SHRED_STATUS_FORMATTED
                           : formatted == FormatResult::Aborted ? SHRED_STATUS_ABORTED
                                                                : SHRED_STATUS_FAILED_FORMAT;
        }
    } else {
        finalStatus_ = result;
    }
    if (disk) {
        disk.reset(); // the exclusive open ends here
        authorization_->rescan(identity_);
    }
    std::int64_t detail = 0;
    {
        std::lock_guard guard(relayMutex_);
        if (finalStatus_ == SHRED_STATUS_FAILED_COUNTERFEIT)
            detail = static_cast<std::int64_t>(usableBytes_.value_or(0));
        else if (finalStatus_ == SHRED_STATUS_FAILED_VERIFY)
            detail = static_cast<std::int64_t>(mismatchOffset_);
        const ReportVerification verification =
            verification_ == SHRED_FINDING_VERIFIED             ? ReportVerification::Passed
            : verification_ == SHRED_FINDING_VERIFY_MISMATCH    ? ReportVerification::Failed
            : verification_ == SHRED_FINDING_VERIFY_INTERRUPTED ? ReportVerification::Interrupted
                                                                : ReportVerification::NotReached;
        // A job the engine never saw wrote nothing; an engine that did not count its
        // passes completed them all only when it shredded.
        std::optional<int> passes = enginePasses_;
        if (!engineCalled_)
            passes = 0;
        else if (!passes &&
                 (result == SHRED_STATUS_SHREDDED || result == SHRED_STATUS_FAILED_COUNTERFEIT))
            passes = plannedPasses(algorithm_);
        withReport([&](ShredReport& report) {
            report.setOutcome(finalStatus_, capacity);
            report.setUsableCapacity(usableBytes_);
            report.setVerification(verification, mismatchOffset_);
            report.setPassesDone(passes);
            report.setRanges(ranges_);
        });
    }
    reportStatus(finalStatus_, detail);
    return true;
}

int CVSKRMShredThread::ExitInstance() {
    trace("Thread end!\n");
    int written = 0;
    bool attempted = false;
    bool certificateWritten = true;
    bool unsignedDocuments = false;
    withReport([&](ShredReport& report) {
        prepareSigning(report, true);
        written = report.finish();
        reportWritten_ = true;
        attempted = true;
        if (written) {
            signReport(report);
            certificateWritten = writeCertificate(report);
        }
        unsignedDocuments = documentsUnsigned_;
    });
    // The user gave up saving it: the row must not look like a complete job.
    if (attempted && !written)
        reportStatus(SHRED_STATUS_REPORT_NOT_SAVED);
    // The disk stays as the final status says; the row adds that its certificate is missing.
    else if (!certificateWritten)
        reportStatus(SHRED_STATUS_CERTIFICATE_NOT_SAVED);
    else if (unsignedDocuments)
        reportStatus(SHRED_STATUS_CERTIFICATE_UNSIGNED);
    return written;
}

JobProvenance CVSKRMShredThread::provenance(platform::MediumType mediumType) const {
    JobProvenance who;
    if (language_)
        who.toolName = language_->GetString(QStringLiteral("product_name"));
    who.toolVersion = settings_->util()->FindProgramVersion();
    who.mediumType = mediumType;
    const platform::AccountName account = platform::JobAccount();
    who.operatorLogin = account.login;
    who.operatorName = account.fullName;
    who.organisation = settings_->GetOrganisation();
    who.location = settings_->GetLocation();
    who.asset = asset_;
    who.source = source_;
    who.host = QSysInfo::machineHostName();
    return who;
}

CertificateFacts CVSKRMShredThread::certificateFacts(const ShredReport& report) const {
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
    facts.formatBegan = formatBegan_;
    facts.formatted = report.isFormatted();
    if (facts.formatted && labelled_)
        facts.label = kVolumeLabel;
    facts.reportId = report.id();
    facts.reportFile = QFileInfo(report.writtenPath()).fileName();
    return facts;
}

bool CVSKRMShredThread::writeCertificate(const ShredReport& report) {
    if (!settings_->GetCertificates())
        return true;
    const QString path = certificatePathFor(report.writtenPath());
    CertificateFacts facts = certificateFacts(report);
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

void CVSKRMShredThread::prepareSigning(ShredReport& report, bool withTimestamp) {
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

void CVSKRMShredThread::signReport(const ShredReport& report) {
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

void CVSKRMShredThread::noteUnsigned(const QString& document, const QString& why) {
    documentsUnsigned_ = true;
    platform::LogWarning(QStringLiteral("Not signed: %1: %2.").arg(document, why));
}

QStringList CVSKRMShredThread::writtenFiles() {
    std::lock_guard guard(reportMutex_);
    QStringList files;
    if (report_ && reportWritten_ && !report_->writtenPath().isEmpty())
        files << report_->writtenPath();
    if (!certificatePath_.isEmpty())
        files << certificatePath_;
    return files;
}

QString CVSKRMShredThread::reportPath() {
    std::lock_guard guard(reportMutex_);
    return report_ && reportWritten_ ? report_->writtenPath() : QString();
}

QString CVSKRMShredThread::certificatePath() {
    std::lock_guard guard(reportMutex_);
    return certificatePath_;
}

bool CVSKRMShredThread::documentsUnsigned() {
    std::lock_guard guard(reportMutex_);
    return documentsUnsigned_;
}

bool CVSKRMShredThread::certificateMissing() {
    std::lock_guard guard(reportMutex_);
    return certificateMissing_;
}

void CVSKRMShredThread::abandon() {
    // The job may be writing its report and waiting for the GUI thread (a save dialog),
    // which may be the caller: never wait for it.
    std::unique_lock guard(reportMutex_, std::try_to_lock);
    if (!guard.owns_lock() || !report_ || reportWritten_)
        return;
    report_->setOutcome(SHRED_STATUS_ABORTED, capacity_);
    // The engine may still be counting: of its passes nothing is known for certain.
    report_->setPassesDone(std::nullopt);
    prepareSigning(*report_, false);
    const int written = report_->finish();
    reportWritten_ = true;
    if (written) {
        signReport(*report_);
        writeCertificate(*report_);
    }
}

} // namespace kestrune
