#include "shred/CVSKRMShredThread.h"

#include "app/SettingsStore.h"
#include "app/SystemUtil.h"
#include "devices/DeviceTable.h"
#include "lang/LanguageManager.h"
#include "platform/AccountName.h"
#include "platform/DiskAuthorization.h"
#include "platform/MessageService.h"
#include "platform/SystemLog.h"
#include "shred/EngineEvents.h"
#include "shred/ErasureCertificate.h"
#include "shred/JobDocuments.h"
#include "shred/ShredMethod.h"
#include "shred/ShredReport.h"

#include <QFileInfo>
#include <QSysInfo>
#include <cstdio>
#include <thread>

namespace kestrune {
namespace {

const QString kEngineFile = QStringLiteral("VSKRemovableShredder.dll");
// The label a format writes, as FAT stores it.
const QString kVolumeLabel = QStringLiteral("SHREDDED");
// How often the record says how far a pass got, at most: each update is made durable.
constexpr std::chrono::seconds kRecordInterval{5};
constexpr std::chrono::seconds kRecordWriteWait{2};

void traceShredThread(const char* line) {
    std::fputs(line, stdout);
    std::fflush(stdout);
}

// The job's status for the disk the system would not open for it.
JobStatus statusOf(platform::DiskRefusal refusal) {
    switch (refusal) {
    case platform::DiskRefusal::None:
        return JobStatus::None;
    case platform::DiskRefusal::NotAuthorized:
        return JobStatus::FailedNotAuthorized;
    case platform::DiskRefusal::NoDiskService:
        return JobStatus::FailedNoDiskService;
    case platform::DiskRefusal::Busy:
        return JobStatus::FailedBusy;
    case platform::DiskRefusal::Gone:
        return JobStatus::FailedMedia;
    case platform::DiskRefusal::Aborted:
        return JobStatus::Aborted;
    }
    return JobStatus::FailedMedia;
}

} // namespace

std::int64_t JobClock::secondsNow() const {
    if (seconds)
        return seconds();
    return std::chrono::duration_cast<std::chrono::seconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

std::int64_t JobClock::millisecondsNow() const {
    if (milliseconds)
        return milliseconds();
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

CVSKRMShredThread::CVSKRMShredThread(std::shared_ptr<DeviceRecord> record, std::int32_t algorithm,
                                     JobClock clock)
    : settings_(GetSettingsStore()), record_(std::move(record)), driveLetter_(record_->driveLetter),
      deviceNumber_(record_->deviceNumber), algorithm_(algorithm),
      abortFlag_(record_->abort.address()), clock_(std::move(clock)),
      authorization_(platform::diskAuthorizationForThisProcess()), estimator_(clock_.secondsNow()) {
    std::printf("CVSKRMShredThread: %d: algo: %d\n", static_cast<int>(deviceNumber_), algorithm_);
    std::fflush(stdout);
}

CVSKRMShredThread::~CVSKRMShredThread() = default;

void CVSKRMShredThread::addObserver(std::shared_ptr<JobObserver> observer) {
    if (observer)
        observers_.push_back(std::move(observer));
}

void CVSKRMShredThread::Run() {
    InitInstance();
    ExitInstance();
    ended_.store(true, std::memory_order_release);
}

void CVSKRMShredThread::publish(const JobEvent& event, const JobProgress& progress,
                                const JobProgressChange& change) {
    for (const auto& observer : observers_)
        observer->jobChanged(*this, event, progress, change);
}

std::pair<JobProgress, JobProgressChange> CVSKRMShredThread::applyLocked(const EngineEvent& event) {
    if (const auto* finding = std::get_if<FindingEvent>(&event))
        findings_.take(*finding);
    if (const auto* progress = std::get_if<ProgressEvent>(&event)) {
        lastProgress_ = *progress;
        lastRelayed_ = std::chrono::steady_clock::now();
    }
    const JobProgressChange change =
        estimator_.apply(event, clock_.secondsNow(), clock_.millisecondsNow());
    return {estimator_.progress(), change};
}

void CVSKRMShredThread::take(const EngineEvent& event) {
    std::lock_guard telling(telling_);
    std::unique_lock guard(mutex_);
    const auto [progress, change] = applyLocked(event);
    guard.unlock();
    publish(std::visit([](const auto& turn) -> JobEvent { return turn; }, event), progress, change);
}

bool CVSKRMShredThread::requestAbort() {
    std::lock_guard telling(telling_);
    std::unique_lock guard(mutex_);
    const bool asked = record_->state() == JobState::Running && estimator_.requestAbort();
    const JobProgress progress = estimator_.progress();
    guard.unlock();
    // Raised after the progress says so: the job's last word always comes after the abort's.
    record_->abort.raise();
    if (asked) {
        JobProgressChange change;
        change.status = true;
        publish(AbortRequestedEvent{}, progress, change);
    }
    return asked;
}

JobProgress CVSKRMShredThread::progress() const {
    std::lock_guard guard(mutex_);
    return estimator_.progress();
}

bool CVSKRMShredThread::wroteVerifiedZeros() {
    std::lock_guard guard(mutex_);
    return algorithm_ == SHRED_METHOD_ZEROS &&
           findings_.verification == ReportVerification::Passed &&
           (!findings_.usableBytes || *findings_.usableBytes >= capacity_);
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
    for (;;) {
        {
            std::unique_lock lock(mutex_);
            if (engineDone_.wait_for(lock, heartbeat_, [this] { return !engineRunning_; }))
                return;
        }
        std::lock_guard telling(telling_);
        std::unique_lock lock(mutex_);
        if (!engineRunning_ || !lastProgress_ ||
            std::chrono::steady_clock::now() - lastRelayed_ < heartbeat_)
            continue;
        // Nothing moved: the same progress, without a speed sample.
        ProgressEvent repeat = *lastProgress_;
        repeat.speed = 0.0;
        const auto [progress, change] = applyLocked(repeat);
        lock.unlock();
        publish(repeat, progress, change);
    }
}

JobStatus CVSKRMShredThread::callEngine() {
    auto util = GetSystemUtil();
    const QString path = util->ComponentPathWithoutFallback(kEngineFile);
    ShredEngine::LoadFailure failure = ShredEngine::LoadFailure::None;
    const std::unique_ptr<ShredEngine> engine = ShredEngine::load(path, &failure);
    if (!engine) {
        platform::showMessage(
            failure == ShredEngine::LoadFailure::NoEntry
                ? QStringLiteral(
                      "Could not locate necessary dll 'VSKRemovableShredder.dll' (VSKRMShred)")
                : QStringLiteral("Could not locate necessary dll 'VSKRemovableShredder.dll'"),
            SystemUtil::ApplicationTitle(), platform::MB_ICONERROR_STYLE);
        return JobStatus::EngineMissing;
    }
    {
        std::lock_guard guard(mutex_);
        engineRunning_ = true;
        engineCalled_ = true;
    }
    std::thread heartbeat([this] { keepReportingWhileSilent(); });
    const JobStatus result = engine->run(
        driveLetter_, deviceNumber_, algorithm_, abortFlag_, [this](const EngineEvent& event) {
            // The job's end is the worker's to report, once, with what it found out.
            if (std::holds_alternative<EndedEvent>(event))
                return;
            if (const auto* progress = std::get_if<ProgressEvent>(&event))
                recordProgress(progress->bytesLeft, progress->bytesDone);
            take(event);
        });
    {
        std::lock_guard guard(mutex_);
        engineRunning_ = false;
    }
    engineDone_.notify_all();
    heartbeat.join();
    return result;
}

JobStatus CVSKRMShredThread::authorizeDisk(std::unique_ptr<platform::AuthorizedDisk>& disk) {
    // An image file is the user's own; a number already gone is the engine's to report.
    if (!authorization_ || !identityKnown_ || identity_.simulated)
        return JobStatus::None;
    platform::DiskOpening opening = authorization_->openForWriting(identity_, abortFlag_);
    disk = std::move(opening.disk);
    return statusOf(opening.refusal);
}

template <typename Fn> void CVSKRMShredThread::withReport(Fn&& fn) {
    std::lock_guard guard(reportMutex_);
    if (report_ && !reportWritten_)
        fn(*report_);
}

void CVSKRMShredThread::beginReport() {
    auto language = GetLanguageManager();
    {
        std::lock_guard guard(reportMutex_);
        language_ = language;
        report_ = std::make_unique<ShredReport>(algorithm_, language);
        documents_ = std::make_unique<JobDocuments>(settings_, language);
    }
    QString serial, make, model, size, bus;
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
        capacity_ = record_->sizeBytes;
        mediumType = record_->mediumType;
    }
    const JobProvenance who = provenance(mediumType);
    withReport([&](ShredReport& report) {
        report.addHardwareItems(serial, make, model, size, bus);
        report.setProvenance(who);
        report.setOutcome(JobStatus::None, capacity_);
        // On disk before anything is written to the medium, so that a program that dies
        // leaves the job for its next start to complete. Without it the job still runs, and
        // its report is written at its end as it always was.
        const QString failure = report.openRecord();
        if (!failure.isEmpty())
            platform::LogWarning(
                QStringLiteral("The job on %1 runs without a record until it ends: %2.")
                    .arg(serial, failure));
    });
}

JobStatus CVSKRMShredThread::shredWith(std::unique_ptr<platform::AuthorizedDisk>& disk) {
    JobStatus result = authorizeDisk(disk);
    if (result != JobStatus::None)
        return result;
    if (disk)
        disk->handOver(deviceNumber_);
    result = callEngine();
    if (disk)
        disk->reclaim(deviceNumber_);
    // A disk that left the list stops its job through the same flag as the user's Abort; unless
    // the user asked, the job ended because the medium went.
    if (result == JobStatus::Aborted && record_->stale.load() && !progress().aborting)
        result = JobStatus::FailedMedia;
    std::printf("VSKRMShred: %d\n", code(result));
    std::fflush(stdout);
    return result;
}

JobStatus CVSKRMShredThread::formatWith(std::unique_ptr<platform::AuthorizedDisk>& disk) {
    // Abort pressed as the shred ended: the disk stays shredded and unformatted.
    if (AbortFlag::raisedAt(abortFlag_))
        return JobStatus::Aborted;
    formatBegan_ = true;
    take(FormattingEvent{0});
    // What the read-back found is the record's before the format may be cut short.
    const ReportVerification verified = [this] {
        std::lock_guard guard(mutex_);
        return findings_.verification == ReportVerification::Passed
                   ? ReportVerification::Passed
                   : ReportVerification::NotReached;
    }();
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
    FormatJob job{identity_,     identityKnown_,
                  deviceNumber_, [this](int percent) { take(FormattingEvent{percent}); },
                  abortFlag_,    kVolumeLabel,
                  &labelled,     wroteVerifiedZeros()};
    const FormatResult formatted = formatter_ ? formatter_(job) : FormatResult::Failed;
    if (disk)
        disk->reclaim(deviceNumber_);
    // Only a format that really completed counts as one.
    if (formatted == FormatResult::Formatted)
        withReport([labelled, this](ShredReport& report) {
            report.setFormatted();
            labelled_ = labelled;
        });
    return formatted == FormatResult::Formatted ? JobStatus::Formatted
           : formatted == FormatResult::Aborted ? JobStatus::Aborted
                                                : JobStatus::FailedFormat;
}

void CVSKRMShredThread::end(JobStatus engineResult) {
    const JobStatus status = finalStatus_.load();
    std::int64_t detail = 0;
    JobFindings found;
    bool engineCalled = false;
    {
        std::lock_guard guard(mutex_);
        found = findings_;
        engineCalled = engineCalled_;
    }
    if (status == JobStatus::FailedCounterfeit)
        detail = static_cast<std::int64_t>(found.usableBytes.value_or(0));
    else if (status == JobStatus::FailedVerify)
        detail = static_cast<std::int64_t>(found.verifiedOffset);
    // A job the engine never saw wrote nothing; an engine that did not count its passes
    // completed them all only when it shredded.
    std::optional<int> passes = found.passesDone;
    if (!engineCalled)
        passes = 0;
    else if (!passes &&
             (engineResult == JobStatus::Shredded || engineResult == JobStatus::FailedCounterfeit))
        passes = plannedPasses(algorithm_);
    withReport([&](ShredReport& report) {
        report.setOutcome(status, capacity_);
        report.setUsableCapacity(found.usableBytes);
        report.setVerification(found.verification, found.verifiedOffset);
        report.setPassesDone(passes);
        report.setRanges(found.ranges);
    });
    take(EndedEvent{status, detail});
}

bool CVSKRMShredThread::InitInstance() {
    traceShredThread("Thread start!\n");
    beginReport();
    // The number stays this disk's while the job holds the record (see ScanDevices).
    identityKnown_ = kestrune_disk_number_resolve(deviceNumber_, &identity_) != 0;
    identity_.path[sizeof identity_.path - 1] = '\0';
    // Every step writes through the one descriptor the system opened for a normal user.
    std::unique_ptr<platform::AuthorizedDisk> disk;
    const JobStatus result = shredWith(disk);
    if (result == JobStatus::Shredded)
        withReport([](ShredReport& report) { report.setCleaned(); });
    const bool formatWanted = formatDrive_ ? *formatDrive_ : settings_->GetFormatDrive();
    finalStatus_ = result == JobStatus::Shredded && formatWanted ? formatWith(disk) : result;
    if (disk) {
        disk.reset(); // the exclusive open ends here
        authorization_->rescan(identity_);
    }
    end(result);
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
    traceShredThread("Thread end!\n");
    int written = 0;
    bool attempted = false;
    DocumentsEvent documents;
    withReport([&](ShredReport& report) {
        written = writeDocuments(report, true);
        attempted = true;
        documents.reportPath = written ? report.writtenPath() : QString();
        documents.certificatePath = documents_->certificatePath();
        documents.certificateNotSaved = documents_->certificateMissing();
        documents.certificateUnsigned = documents_->documentsUnsigned();
    });
    // The user gave up saving it: the row must not look like a complete job. Otherwise the
    // disk stays as the final status says, and the row adds what its documents lack.
    documents.reportNotSaved = attempted && !written;
    if (documents.reportNotSaved)
        documents.certificateNotSaved = documents.certificateUnsigned = false;
    else if (documents.certificateNotSaved)
        documents.certificateUnsigned = false;
    settleDocuments(documents);
    return written;
}

void CVSKRMShredThread::settleDocuments(const DocumentsEvent& documents) {
    std::lock_guard telling(telling_);
    std::unique_lock guard(mutex_);
    const JobProgressChange change = estimator_.documents(documents);
    const JobProgress progress = estimator_.progress();
    guard.unlock();
    publish(documents, progress, change);
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
    report_->setOutcome(JobStatus::Aborted, capacity_);
    // The engine may still be counting: of its passes nothing is known for certain.
    report_->setPassesDone(std::nullopt);
    writeDocuments(*report_, false);
}

} // namespace kestrune
