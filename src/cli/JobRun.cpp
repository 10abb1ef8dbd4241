#include "cli/JobRun.h"

#include "cli/CliText.h"
#include "cli/Console.h"
#include "cli/DiskScan.h"
#include "cli/ExitCodes.h"
#include "cli/ProgressLines.h"
#include "devices/DeviceListModel.h"
#include "devices/DeviceTable.h"
#include "platform/TerminationSignals.h"
#include "shred/JobServices.h"
#include "shred/ShredJobs.h"

#include <QEventLoop>
#include <QTimer>
#include <algorithm>
#include <kestrune/shred_abi.h>

namespace kestrune::cli {
namespace {

constexpr auto kDisplayInterval = std::chrono::milliseconds(250);
constexpr auto kPlainLineInterval = std::chrono::seconds(5);

std::int64_t secondsNow() {
    return std::chrono::duration_cast<std::chrono::seconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

} // namespace

JobRun::JobRun(const DiskScan& scan, Console& console, std::chrono::milliseconds abortWait)
    : scan_(scan), console_(console), abortWait_(abortWait),
      jobs_(std::make_unique<ShredJobs>(scan.table(), scan.list())) {
    // The machine stays awake while the jobs run.
    jobs_->setJobServices(JobServices::forCommandLine());
}

JobRun::~JobRun() {
    // Jobs stuck in the kernel still hold what they use; the process ends under them
    // instead of waiting for them once more.
    if (leftJobsRunning_)
        static_cast<void>(jobs_.release());
}

void JobRun::start(const std::vector<const ScannedDisk*>& disks, std::int32_t algorithm,
                   bool format, const QString& asset) {
    QStringList labels;
    for (const ScannedDisk* disk : disks)
        labels << disk->label();
    lines_ = std::make_unique<ProgressLines>(labels, console_.outputIsTerminal());
    throttle_ =
        std::make_unique<PlainLineThrottle>(static_cast<int>(disks.size()), kPlainLineInterval);
    const QString processing = cliText("status_processing");
    for (const ScannedDisk* disk : disks) {
        // What a Start in the window leaves on the record for its worker.
        DeviceRecord& record = *disk->record;
        record.setState(JobState::Running);
        record.speedSamples = 0;
        record.startTime = secondsNow();
        record.abort.lower();
        const int row = scan_.list()->rowOfRecord(&record);
        scan_.list()->setCellText(row, DeviceListModel::StatusColumn, processing);
        ShredJobOptions options;
        options.formatDrive = format;
        options.assetNumber = asset;
        running_.push_back({disk, jobs_->start(disk->record, algorithm, options)});
    }
}

void JobRun::wait() {
    console_.print(lines_->heading());
    QEventLoop loop;
    platform::TerminationSignals terminations;
    QObject::connect(&terminations, &platform::TerminationSignals::terminationRequested, &loop,
                     [this](int) { abortAll(); });
    QTimer timer;
    timer.setInterval(kDisplayInterval);
    QObject::connect(&timer, &QTimer::timeout, &loop, [&] {
        if (tick())
            loop.quit();
    });
    timer.start();
    if (!tick())
        loop.exec();
    console_.keepLive();
}

int JobRun::finish() {
    std::vector<int> codes;
    for (const RunningJob& entry : running_) {
        const QString label = entry.disk->label();
        // Every document the job left, so whatever the worker writes beside its report is
        // named here too.
        const QStringList files = entry.job->writtenFiles();
        const QString certificate = entry.job->certificatePath();
        for (const QString& file : files)
            console_.print(FillPlaceholders(
                cliText(file == certificate ? "cli_certificate_of" : "cli_report_of"),
                {label, file}));
        if (files.isEmpty())
            console_.message(FillPlaceholders(cliText("cli_report_missing"), {label}));
        const bool certificateMissing = entry.job->certificateMissing();
        if (certificateMissing)
            console_.message(FillPlaceholders(cliText("cli_certificate_missing"), {label}));
        // A job given up on had its report written as aborted.
        const bool documentsWritten = !files.isEmpty() && !certificateMissing;
        codes.push_back(entry.job->hasEnded()
                            ? exitCodeOfJob(entry.job->finalStatus(), documentsWritten)
                            : exitCodeOfJob(SHRED_STATUS_ABORTED, documentsWritten));
    }
    return worstExitCode(codes);
}

bool JobRun::allEnded() const {
    return std::all_of(running_.begin(), running_.end(),
                       [](const RunningJob& entry) { return entry.job->hasEnded(); });
}

// Shows every job as its row stands now; true once there is nothing more to wait for.
bool JobRun::tick() {
    const bool ended = allEnded();
    QStringList live;
    QStringList plain;
    const auto now = PlainLineThrottle::Clock::now();
    {
        // Under the lock the status display holds for a whole report, so that a line never
        // mixes two reports, and no text of a row is shared with this thread beyond it.
        auto guard = scan_.table()->lockByPolling();
        for (std::size_t i = 0; i < running_.size(); ++i) {
            const JobRow row = readJobRow(*scan_.list(), *running_[i].disk->record);
            const QString line = lines_->line(static_cast<int>(i), row);
            if (console_.outputIsTerminal())
                live << line;
            else if (throttle_->due(static_cast<int>(i), row, now))
                plain << line;
        }
    }
    for (const QString& line : plain)
        console_.print(line);
    console_.showLive(live);
    if (ended)
        return true;
    if (aborting_ && std::chrono::steady_clock::now() >= abortDeadline_) {
        giveUpOnRunningJobs();
        return true;
    }
    return false;
}

void JobRun::abortAll() {
    if (aborting_)
        return;
    aborting_ = true;
    abortDeadline_ = std::chrono::steady_clock::now() + abortWait_;
    console_.message(cliText("cli_aborting"));
    const QString aborting = cliText("status_aborting");
    {
        // Under the lock the status display holds for each report, so the job's own last
        // word on its row always comes after this one.
        auto guard = scan_.table()->lockByPolling();
        for (const RunningJob& entry : running_) {
            const DeviceRecord& record = *entry.disk->record;
            const int row = scan_.list()->rowOfRecord(&record);
            if (record.state() == JobState::Running && row >= 0)
                scan_.list()->setCellText(row, DeviceListModel::StatusColumn, aborting);
        }
    }
    jobs_->abortAll();
}

// Disks stuck in the kernel: their reports are written now, and the user learns which
// disks were left unfinished.
void JobRun::giveUpOnRunningJobs() {
    QStringList unfinished;
    for (const auto& record : jobs_->abandonRunning())
        for (const RunningJob& entry : running_)
            if (entry.disk->record == record)
                unfinished << entry.disk->label();
    QString text = cliText("message_jobs_unfinished");
    const QString list = unfinished.join(u'\n');
    text = text.contains(QLatin1String("%s")) ? FillPlaceholders(text, {list})
                                              : text + QStringLiteral("\n\n") + list;
    console_.message(text);
    leftJobsRunning_ = true;
}

} // namespace kestrune::cli
