#include "shred/JobServices.h"

#include "devices/DeviceTable.h"
#include "devices/ScanDevices.h"
#include "lang/LanguageManager.h"
#include "lang/TextPlaceholders.h"
#include "platform/DesktopNotifier.h"
#include "platform/LauncherProgress.h"
#include "platform/SleepInhibitor.h"
#include "shred/ShredStatusDisplay.h"

#include <QStringList>
#include <mutex>

namespace kestrune {
namespace {

// The program's desktop entry, whose launcher shows the progress and whose icon the notices
// carry.
const QString kDesktopId = QStringLiteral(KESTRUNE_DESKTOP_ID);

QString text(const char* key) {
    const auto language = GetLanguageManager();
    return language ? language->GetString(QString::fromLatin1(key)) : QString();
}

} // namespace

// Where jobs post what they report: to the services while they live, to nobody after.
struct JobServices::Feed {
    std::mutex mutex;
    JobServices* services = nullptr;

    // Under the lock, so the services cannot go while the post is on its way.
    template <typename Fn> void post(Fn&& fn) {
        std::lock_guard guard(mutex);
        if (services)
            QMetaObject::invokeMethod(
                services, [services = services, fn = std::forward<Fn>(fn)] { fn(*services); },
                Qt::QueuedConnection);
    }
};

std::unique_ptr<JobServices> JobServices::forWindow() {
    Services services;
    services.inhibitor = platform::systemSleepInhibitor();
    services.notifier = platform::sessionDesktopNotifier(kDesktopId);
    services.launcher = platform::sessionLauncherProgress(kDesktopId);
    return std::make_unique<JobServices>(std::move(services));
}

std::unique_ptr<JobServices> JobServices::forCommandLine() {
    Services services;
    services.inhibitor = platform::systemSleepInhibitor();
    return std::make_unique<JobServices>(std::move(services));
}

JobServices::JobServices(Services services)
    : services_(std::move(services)), feed_(std::make_shared<Feed>()) {
    feed_->services = this;
    if (services_.notifier)
        services_.notifier->setOnShow([this] { emit raiseWindowRequested(); });
}

JobServices::~JobServices() {
    std::lock_guard guard(feed_->mutex);
    feed_->services = nullptr;
}

std::shared_ptr<JobServices::Job> JobServices::jobStarted(const QString& diskName,
                                                          void* displayContext,
                                                          ShredStatusCallback display) {
    const std::uint64_t id = nextId_.fetch_add(1);
    feed_->post([id, diskName](JobServices& services) { services.started(id, diskName); });
    return std::make_shared<Job>(feed_, id, displayContext, display);
}

void JobServices::setWindowActive(bool active) {
    feed_->post([active](JobServices& services) { services.windowActive_ = active; });
}

QString JobServices::diskName(const RowDisk& disk) {
    QString name = disk.device.trimmed();
    if (name.isEmpty())
        name = disk.path;
    if (!disk.size.isEmpty())
        name += QStringLiteral(", ") + disk.size;
    return name;
}

int JobServices::progressOf(std::int32_t status) {
    if (status >= 0 && status <= 100)
        return status;
    // The format starts its bar afresh, as the row's does.
    if (status >= SHRED_STATUS_FORMATTING && status < SHRED_STATUS_FORMATTED)
        return status - SHRED_STATUS_FORMATTING;
    return -1;
}

JobServices::Job::Job(std::shared_ptr<Feed> feed, std::uint64_t id, void* displayContext,
                      ShredStatusCallback display)
    : feed_(std::move(feed)), id_(id), displayContext_(displayContext), display_(display) {}

void JobServices::Job::relayStatus(void* jobPointer, std::int32_t deviceNumber, std::int32_t status,
                                   std::int64_t bytesLeft, std::int64_t secondValue, double speed) {
    auto& job = *static_cast<Job*>(jobPointer);
    job.display_(job.displayContext_, deviceNumber, status, bytesLeft, secondValue, speed);
    if (status < 0)
        job.failureDetail_.store(secondValue); // a counterfeit's usable size, for its notice
    if (status == SHRED_STATUS_FORMATTING)
        job.formatBegan_.store(true);
    const int progress = progressOf(status);
    // The engine reports many times a second; the desktop hears of each new percent.
    if (progress < 0 || job.lastProgress_.exchange(progress) == progress)
        return;
    job.feed_->post(
        [id = job.id_, progress](JobServices& services) { services.progressed(id, progress); });
}

void JobServices::Job::ended(std::int32_t finalStatus, const QString& certificate) {
    feed_->post([id = id_, finalStatus, detail = failureDetail_.load(),
                 formatBegan = formatBegan_.load(), certificate](JobServices& services) {
        services.ended(id, finalStatus, detail, formatBegan, certificate);
    });
}

void JobServices::started(std::uint64_t id, const QString& disk) {
    running_[id] = Running{disk, 0};
    updateInhibitor();
    updateLauncher();
}

void JobServices::progressed(std::uint64_t id, int progress) {
    const auto found = running_.find(id);
    if (found == running_.end())
        return;
    found->second.progress = progress;
    updateLauncher();
}

void JobServices::ended(std::uint64_t id, std::int32_t status, std::int64_t detail,
                        bool formatBegan, const QString& certificate) {
    const auto found = running_.find(id);
    if (found == running_.end())
        return;
    const QString disk = found->second.disk;
    running_.erase(found);
    updateInhibitor();
    updateLauncher();
    if (!windowActive_)
        announce(disk, status, detail, formatBegan, certificate);
}

void JobServices::updateInhibitor() {
    if (!services_.inhibitor)
        return;
    if (running_.empty()) {
        services_.inhibitor->release();
        return;
    }
    QStringList disks;
    for (const auto& [id, job] : running_)
        disks << job.disk;
    services_.inhibitor->hold(FillPlaceholders(text("inhibit_reason"), {disks.join(u"; ")}));
}

void JobServices::updateLauncher() {
    if (!services_.launcher)
        return;
    int shown = -1;
    if (!running_.empty()) {
        int sum = 0;
        for (const auto& [id, job] : running_)
            sum += job.progress;
        shown = sum * 10 / static_cast<int>(running_.size());
    }
    if (shown == shownProgress_)
        return;
    shownProgress_ = shown;
    services_.launcher->show(shown < 0 ? 0.0 : shown / 1000.0, shown >= 0);
}

void JobServices::announce(const QString& disk, std::int32_t status, std::int64_t detail,
                           bool formatBegan, const QString& certificate) {
    if (!services_.notifier)
        return;
    platform::DesktopNotice notice;
    notice.application = text("product_name");
    notice.showLabel = text("notify_show");
    if (!certificate.isEmpty()) {
        notice.certificate = certificate;
        notice.openCertificateLabel = text("open_certificate");
        notice.openFolderLabel = text("open_folder");
    }
    const auto language = GetLanguageManager();
    switch (status) {
    case SHRED_STATUS_SHREDDED:
        notice.summary = FillPlaceholders(text("notify_shredded"), {disk});
        break;
    case SHRED_STATUS_FORMATTED:
        notice.summary = FillPlaceholders(text("notify_formatted"), {disk});
        break;
    case SHRED_STATUS_ABORTED:
        notice.summary = FillPlaceholders(text("notify_aborted"), {disk});
        break;
    default:
        notice.summary = FillPlaceholders(text("notify_failed"), {disk});
        // The row's own words for how it failed.
        notice.body = JobStatusText(language.get(), status, detail, formatBegan);
        notice.urgent = true;
        break;
    }
    services_.notifier->notify(notice);
}

} // namespace kestrune
