#include "cli/ShredCommand.h"

#include "app/SettingsStore.h"
#include "cli/CliText.h"
#include "cli/Console.h"
#include "cli/DiskListing.h"
#include "cli/DiskScan.h"
#include "cli/DiskSelection.h"
#include "cli/ExitCodes.h"
#include "cli/ProgressLines.h"
#include "cli/TerminalMessages.h"
#include "devices/DeviceListModel.h"
#include "devices/DeviceTable.h"
#include "platform/MessageService.h"
#include "platform/TerminationSignals.h"
#include "shred/ShredJobs.h"

#include <QEventLoop>
#include <QTimer>

namespace kestrune::cli {
namespace {

constexpr std::int32_t kFirstAlgorithm = 100;
constexpr std::int32_t kLastAlgorithm = 103;
constexpr auto kDisplayInterval = std::chrono::milliseconds(250);
constexpr auto kPlainLineInterval = std::chrono::seconds(5);

std::int64_t secondsNow() {
    return std::chrono::duration_cast<std::chrono::seconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

QString methodName(std::int32_t algorithm) {
    if (algorithm < kFirstAlgorithm || algorithm > kLastAlgorithm)
        return QString::number(algorithm);
    return cliText(QStringLiteral("shred_algo_short_%1").arg(algorithm).toLatin1().constData());
}

struct RunningJob {
    const ScannedDisk* disk;
    std::shared_ptr<CVSKRMShredThread> job;
};

// The jobs of one run, from their start to the last line about them.
class JobRun {
public:
    JobRun(const DiskScan& scan, Console& console, std::chrono::milliseconds abortWait)
        : scan_(scan), console_(console), abortWait_(abortWait),
          jobs_(std::make_unique<ShredJobs>(scan.table(), scan.list())) {}
    ~JobRun() {
        // Jobs stuck in the kernel still hold what they use; the process ends under them
        // instead of waiting for them once more.
        if (leftJobsRunning_)
            static_cast<void>(jobs_.release());
    }
    JobRun(const JobRun&) = delete;
    JobRun& operator=(const JobRun&) = delete;

    void start(const std::vector<const ScannedDisk*>& disks, std::int32_t algorithm, bool format) {
        QStringList labels;
        for (const ScannedDisk* disk : disks)
            labels << disk->label();
        lines_ = std::make_unique<ProgressLines>(labels, console_.outputIsTerminal());
        throttle_ =
            std::make_unique<PlainLineThrottle>(static_cast<int>(disks.size()), kPlainLineInterval);
        const QString processing = cliText("status_processing");
        for (const ScannedDisk* disk : disks) {
            // As a Start in the window leaves the record for its worker.
            DeviceRecord& record = *disk->record;
            record.setState(JobState::Running);
            record.speedSamples = 0;
            record.startTime = secondsNow();
            record.abortFlag().store(0);
            const int row = scan_.list()->rowOfRecord(&record);
            scan_.list()->setCellText(row, DeviceListModel::StatusColumn, processing);
            ShredJobOptions options;
            options.formatDrive = format;
            running_.push_back({disk, jobs_->start(disk->record, algorithm, options)});
        }
    }

    // Runs until every job has ended, or the abort wait gave up on some.
    void wait() {
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

    // The last line about each job: the files it wrote. Returns the exit status.
    int finish() {
        std::vector<int> codes;
        for (const RunningJob& entry : running_) {
            const QString label = entry.disk->label();
            if (!entry.job->hasEnded()) {
                codes.push_back(ExitAborted); // its report was written as aborted
                continue;
            }
            const QStringList files = entry.job->writtenFiles();
            for (const QString& file : files)
                console_.print(fillText(cliText("cli_report_of"), {label, file}));
            if (files.isEmpty())
                console_.message(fillText(cliText("cli_report_missing"), {label}));
            codes.push_back(exitCodeOfJob(entry.job->finalStatus(), !files.isEmpty()));
        }
        return worstExitCode(codes);
    }

    bool leftJobsRunning() const { return leftJobsRunning_; }

private:
    bool allEnded() const {
        return std::all_of(running_.begin(), running_.end(),
                           [](const RunningJob& entry) { return entry.job->hasEnded(); });
    }

    // Shows every job as its row stands now; true once there is nothing more to wait for.
    bool tick() {
        const bool ended = allEnded();
        QStringList live;
        const auto now = PlainLineThrottle::Clock::now();
        for (std::size_t i = 0; i < running_.size(); ++i) {
            const JobRow row = readJobRow(*scan_.list(), *running_[i].disk->record);
            const QString line = lines_->line(static_cast<int>(i), row);
            if (console_.outputIsTerminal())
                live << line;
            else if (throttle_->due(static_cast<int>(i), row, now))
                console_.print(line);
        }
        console_.showLive(live);
        if (ended)
            return true;
        if (aborting_ && std::chrono::steady_clock::now() >= abortDeadline_) {
            giveUpOnRunningJobs();
            return true;
        }
        return false;
    }

    void abortAll() {
        if (aborting_)
            return;
        aborting_ = true;
        abortDeadline_ = std::chrono::steady_clock::now() + abortWait_;
        console_.message(cliText("cli_aborting"));
        const QString aborting = cliText("status_aborting");
        {
            // Under the lock the status display holds for each report, so the job's own
            // last word on its row always comes after this one.
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
    void giveUpOnRunningJobs() {
        QStringList unfinished;
        for (const auto& record : jobs_->abandonRunning())
            for (const RunningJob& entry : running_)
                if (entry.disk->record == record)
                    unfinished << entry.disk->label();
        QString text = cliText("message_jobs_unfinished");
        const QString list = unfinished.join(u'\n');
        text = text.contains(QLatin1String("%s")) ? fillText(text, {list})
                                                  : text + QStringLiteral("\n\n") + list;
        console_.message(text);
        leftJobsRunning_ = true;
    }

    const DiskScan& scan_;
    Console& console_;
    std::chrono::milliseconds abortWait_;
    std::unique_ptr<ShredJobs> jobs_;
    std::vector<RunningJob> running_;
    std::unique_ptr<ProgressLines> lines_;
    std::unique_ptr<PlainLineThrottle> throttle_;
    bool aborting_ = false;
    std::chrono::steady_clock::time_point abortDeadline_;
    bool leftJobsRunning_ = false;
};

} // namespace

ShredCommand::ShredCommand(Console& console, TerminalMessageService& messages)
    : console_(console), messages_(messages) {}

int ShredCommand::run(const CliArguments& arguments) {
    const auto settings = GetSettingsStore();
    // Without the options, the settings the window would use for a Start now.
    std::int32_t algorithm = arguments.algorithm.value_or(0);
    if (!arguments.algorithm)
        algorithm = static_cast<std::int32_t>(std::max(settings->GetShredAlgo(), 100u));
    const bool format = arguments.format.value_or(settings->GetFormatDrive());

    const DiskScan scan = DiskScan::run();
    if (scan.failed()) {
        console_.message(cliText("cli_disks_unreadable"));
        return ExitProgramFailure;
    }
    const DiskSelection selection = selectDisks(scan.disks(), arguments.disks);
    if (!selection.refusals.empty()) {
        for (const DiskRefusal& refusal : selection.refusals)
            console_.message(refusal.text);
        console_.message(cliText("cli_nothing_erased"));
        return ExitRefused;
    }

    std::vector<ScannedDisk> chosen;
    for (const ScannedDisk* disk : selection.disks)
        chosen.push_back(*disk);
    console_.message(fillText(cliText("cli_erase_summary"), {methodName(algorithm)}));
    for (const QString& line : disksAsTable(chosen))
        console_.message(QStringLiteral("  ") + line);
    if (format)
        console_.message(cliText("info_format_auto"));
    messages_.setAssumeYes(arguments.yes);
    const int answer = platform::showMessage(
        cliText("cli_question_erase"), settings->GetProductName(),
        platform::MB_YESNO_STYLE | platform::MB_ICONQUESTION_STYLE | platform::MB_DEFBUTTON2_STYLE);
    if (answer != platform::ID_YES) {
        console_.message(cliText("cli_nothing_erased"));
        return ExitNotConfirmed;
    }

    JobRun run(scan, console_, abortWait_);
    run.start(selection.disks, algorithm, format);
    run.wait();
    leftJobsRunning_ = run.leftJobsRunning();
    return run.finish();
}

} // namespace kestrune::cli
