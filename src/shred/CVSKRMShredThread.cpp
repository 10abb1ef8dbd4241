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
#include "shred/ErasureCertificate.h"
#include "shred/JobDocuments.h"
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
// How often the record says how far a pass got, at most: each update is made durable.
constexpr std::chrono::seconds kRecordInterval{5};
constexpr std::chrono::seconds kRecordWriteWait{2};

void trace(const char* line) {
    std::fputs(line, stdout);
    std::fflush(stdout);
}

// The job's status for the disk the system would not open for it.
std::int32_t statusOf(platform::DiskRefusal refusal) {
    switch (refusal) {
    case platform::DiskRefusal::None:
        return 0;
    case platform::DiskRefusal::NotAuthorized:
        return SHRED_STATUS_FAILED_NOT_AUTHORIZED;
    case platform::DiskRefusal::NoDiskService:
        return SHRED_STATUS_FAILED_NO_DISK_SERVICE;
    case platform::DiskRefusal::Busy:
        return SHRED_STATUS_FAILED_BUSY;
    case platform::DiskRefusal::Gone:
        return SHRED_STATUS_FAILED_MEDIA;
    case platform::DiskRefusal::Aborted:
        return SHRED_STATUS_ABORTED;
    }
    return SHRED_STATUS_FAILED_MEDIA;
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

bool CVSKRMShredThread::verifiedNow() {
    std::lock_guard guard(relayMutex_);
    return verification_ == SHRED_FINDING_VERIFIED;
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
    if (status <= 100)
        recordProgress(bytesLeft, secondValue);
    progressSeen_ = true;
    lastProgress_ = status;
    lastBytesLeft_ = bytesLeft;
    lastSecondValue_ = secondValue;
    lastRelayed_ = std::chrono::steady_clock::now();
    callback_(context_, static_cast<std::int32_t>(deviceNumber_), status, bytesLeft, secondValue,
              speed);
}

void CVSKRMShredThread::recordProgress(std::int64_t bytesLeft, std::int64_t bytesDone) {
    if (bytesLeft < 0 || bytesDone < 0)
        return;
    const JobRecordProgress now = JobRecordProgress::fromBytes(
        plannedPasses(algorithm_), static_cast<std::uint64_t>(bytesDone),
        static_cast<std::uint64_t>(bytesLeft));
    const bool newPhase =
        now.phase != recorded_.phase || now.passesComplete() != recorded_.passesComplete();
    const auto at = std::chrono::steady_clock::now();
    const bool due = now != recorded_ && (newPhase || at - lastRecorded_ >= kRecordInterval);
    if (due) {
        recorded_ = now;
        lastRecorded_ = at;
    }
    // The report always knows the latest; the disk hears of it at a modest rate.
    withReport([&now, due](ShredReport& report) {
        report.setProgress(now);
        if (due)
            updateRecord(report);
    });
}

void CVSKRMShredThread::updateRecord(ShredReport& report) {
    const QString failure = report.updateRecord();
    if (!failure.isEmpty())
        platform::LogWarning(QStringLiteral("The record of the job could not say how far it got: "
                                            "%1.")
                                 .arg(failure));
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
    return statusOf(opening.refusal);
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
        documents_ = std::make_unique<JobDocuments>(settings_, language);
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
        report.setOutcome(0, capacity);
        // On disk before anything is written to the medium, so that a program that dies
        // leaves the job for its next start to complete. Without it the job still runs, and
        // its report is written at its end as it always was.
        const QString failure = report.openRecord();
        if (!failure.isEmpty())
            platform::LogWarning(
                QStringLiteral("The job on %1 runs without a record until it ends: %2.")
                    .arg(serial, failure));
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
            // What the read-back found is the record's before the format may be cut short.
            const ReportVerification verified =
                verifiedNow() ? ReportVerification::Passed : ReportVerification::NotReached;
            withReport([verified](ShredReport& report) {
                JobRecordProgress progress = report.progress();
                progress.phase = JobRecordProgress::Phase::Format;
                report.setProgress(progress);
                report.setVerification(verified);
                updateRecord(report);
            });
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

int CVSKRMShredThread::writeDocuments(ShredReport& report, bool withTimestamp) {
    documents_->prepareSigning(report, withTimestamp);
    const int written = report.finish();
    reportWritten_ = true;
    if (written) {
        documents_->signReport(report);
        documents_->writeCertificate(report, labelled_ ? kVolumeLabel : QString());
    }
    return written;
}

int CVSKRMShredThread::ExitInstance() {
    trace("Thread end!\n");
    int written = 0;
    bool attempted = false;
    bool certificateWritten = true;
    bool unsignedDocuments = false;
    withReport([&](ShredReport& report) {
        written = writeDocuments(report, true);
        attempted = true;
        certificateWritten = !documents_->certificateMissing();
        unsignedDocuments = documents_->documentsUnsigned();
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

QStringList CVSKRMShredThread::writtenFiles() {
    std::lock_guard guard(reportMutex_);
    QStringList files;
    if (report_ && reportWritten_ && !report_->writtenPath().isEmpty())
        files << report_->writtenPath();
    if (documents_ && !documents_->certificatePath().isEmpty())
        files << documents_->certificatePath();
    return files;
}

QString CVSKRMShredThread::reportPath() {
    std::lock_guard guard(reportMutex_);
    return report_ && reportWritten_ ? report_->writtenPath() : QString();
}

QString CVSKRMShredThread::certificatePath() {
    std::lock_guard guard(reportMutex_);
    return documents_ ? documents_->certificatePath() : QString();
}

bool CVSKRMShredThread::documentsUnsigned() {
    std::lock_guard guard(reportMutex_);
    return documents_ && documents_->documentsUnsigned();
}

bool CVSKRMShredThread::certificateMissing() {
    std::lock_guard guard(reportMutex_);
    return documents_ && documents_->certificateMissing();
}

void CVSKRMShredThread::abandon() {
    // The job may be writing its report and waiting for the GUI thread (a save dialog),
    // which may be the caller: never wait for that. A moment is given to a job that is
    // making its record durable.
    std::unique_lock guard(reportMutex_, kRecordWriteWait);
    if (!guard.owns_lock() || !report_ || reportWritten_)
        return;
    report_->setOutcome(SHRED_STATUS_ABORTED, capacity_);
    // The engine may still be counting: of its passes nothing is known for certain.
    report_->setPassesDone(std::nullopt);
    writeDocuments(*report_, false);
}

} // namespace kestrune
