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

std::shared_ptr<JobServices::Job> JobServices::jobStarted(const QString& diskName) {
    const std::uint64_t id = nextId_.fetch_add(1);
    feed_->post([id, diskName](JobServices& services) { services.started(id, diskName); });
    return std::make_shared<Job>(feed_, id);
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

int JobServices::progressOf(const JobEvent& event) {
    if (const auto* progress = std::get_if<ProgressEvent>(&event))
        return progress->percent >= 0 && progress->percent <= 100 ? progress->percent : -1;
    // The format starts its bar afresh, as the row's does.
    if (const auto* format = std::get_if<FormattingEvent>(&event))
        return format->percent >= 0 && format->percent < 100 ? format->percent : -1;
    return -1;
}

JobServices::Job::Job(std::shared_ptr<Feed> feed, std::uint64_t id)
    : feed_(std::move(feed)), id_(id) {}

void JobServices::Job::jobChanged(const CVSKRMShredThread&, const JobEvent& event,
                                  const JobProgress& progress, const JobProgressChange&) {
    if (const auto* end = std::get_if<EndedEvent>(&event); end && isFailure(end->status))
        failureDetail_.store(end->detail); // a counterfeit's usable size, for its notice
    if (progress.formatBegan)
        formatBegan_.store(true);
    const int percent = progressOf(event);
    // The engine reports many times a second; the desktop hears of each new percent.
    if (percent < 0 || lastProgress_.exchange(percent) == percent)
        return;
    feed_->post([id = id_, percent](JobServices& services) { services.progressed(id, percent); });
}

void JobServices::Job::ended(JobStatus finalStatus, const QString& certificate) {
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

void JobServices::ended(std::uint64_t id, JobStatus status, std::int64_t detail, bool formatBegan,
                        const QString& certificate) {
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

void JobServices::announce(const QString& disk, JobStatus status, std::int64_t detail,
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
    case JobStatus::Shredded:
        notice.summary = FillPlaceholders(text("notify_shredded"), {disk});
        break;
    case JobStatus::Formatted:
        notice.summary = FillPlaceholders(text("notify_formatted"), {disk});
        break;
    case JobStatus::Aborted:
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
