#include "cli/JobRun.h"

#include "cli/CliText.h"
#include "cli/Console.h"
#include "cli/DiskScan.h"
#include "cli/ExitCodes.h"
#include "cli/ProgressLines.h"
#include "platform/TerminationSignals.h"
#include "shred/JobServices.h"
#include "shred/ShredJobs.h"

#include <QEventLoop>
#include <QObject>
#include <QTimer>
#include <algorithm>
#include <mutex>

namespace kestrune::cli {
namespace {

constexpr auto kPlainLineInterval = std::chrono::seconds(5);

} // namespace

// Tells the run's thread, once for any number of turns in between, that a job moved on.
class JobRun::Changes final : public JobObserver {
public:
    Changes(QObject* context, JobRun* run) : context_(context), run_(run) {}
    void jobChanged(const CVSKRMShredThread&, const JobEvent&, const JobProgress&,
                    const JobProgressChange&) override {
        post();
    }
    void post() {
        std::lock_guard guard(mutex_);
        if (!context_ || pending_)
            return;
        pending_ = true;
        QMetaObject::invokeMethod(
            context_,
            [this] {
                {
                    std::lock_guard again(mutex_);
                    pending_ = false;
                }
                run_->jobsChanged();
            },
            Qt::QueuedConnection);
    }
    // The run is ending: jobs still running tell nobody.
    void detach() {
        std::lock_guard guard(mutex_);
        context_ = nullptr;
    }

private:
    std::mutex mutex_;
    QObject* context_;
    JobRun* run_;
    bool pending_ = false;
};

JobRun::JobRun(const DiskScan& scan, Console& console, std::chrono::milliseconds abortWait)
    : scan_(scan), console_(console), abortWait_(abortWait), context_(std::make_unique<QObject>()),
      changes_(std::make_shared<Changes>(context_.get(), this)),
      jobs_(std::make_unique<ShredJobs>(scan.table(), scan.list())) {
    // The machine stays awake while the jobs run.
    jobs_->setJobServices(JobServices::forCommandLine());
    jobs_->setOnJobEnded([changes = changes_] { changes->post(); });
}

JobRun::~JobRun() {
    changes_->detach();
    // Jobs stuck in the kernel still hold what they use; the process ends under them
    // instead of waiting for them once more.
    if (leftJobsRunning_)
        static_cast<void>(jobs_.release());
}

void JobRun::start(const std::vector<const ScannedDisk*>& disks, std::int32_t algorithm,
                   bool format, const QString& asset, const QString& source) {
    QStringList labels;
    for (const ScannedDisk* disk : disks)
        labels << disk->label();
    lines_ = std::make_unique<ProgressLines>(labels, console_.outputIsTerminal());
    throttle_ =
        std::make_unique<PlainLineThrottle>(static_cast<int>(disks.size()), kPlainLineInterval);
    for (const ScannedDisk* disk : disks) {
        ShredJobOptions options;
        options.formatDrive = format;
        options.assetNumber = asset;
        options.source = source;
        options.observer = changes_;
        auto job = jobs_->start(disk->record, algorithm, options);
        // The card may have left the reader since the disk was chosen.
        if (!job) {
            console_.message(FillPlaceholders(cliText("cli_refused_no_medium"), {disk->label()}));
            refused_ = true;
            continue;
        }
        running_.push_back({disk, std::move(job)});
    }
}

void JobRun::wait() {
    console_.print(lines_->heading());
    QEventLoop loop;
    platform::TerminationSignals terminations;
    QObject::connect(&terminations, &platform::TerminationSignals::terminationRequested, &loop,
                     [this](int) { abortAll(); });
    loop_ = &loop;
    if (!tick())
        loop.exec();
    loop_ = nullptr;
    console_.keepLive();
}

void JobRun::jobsChanged() {
    if (tick() && loop_)
        loop_->quit();
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
        // Signed documents were asked for: unsigned ones are documents not written as asked,
        // never a plain success a script would take for one.
        const bool unsignedDocuments = entry.job->documentsUnsigned();
        if (unsignedDocuments)
            console_.message(FillPlaceholders(cliText("cli_documents_unsigned"), {label}));
        // A job given up on had its report written as aborted.
        const bool documentsWritten = !files.isEmpty() && !certificateMissing && !unsignedDocuments;
        codes.push_back(entry.job->hasEnded()
                            ? exitCodeOfJob(entry.job->finalStatus(), documentsWritten,
                                            entry.job->formatBegan())
                            : exitCodeOfJob(JobStatus::Aborted, documentsWritten));
    }
    if (refused_)
        codes.push_back(ExitMediumFailure);
    return worstExitCode(codes);
}

bool JobRun::allEnded() const {
    return std::all_of(running_.begin(), running_.end(),
                       [](const RunningJob& entry) { return entry.job->hasEnded(); });
}

bool JobRun::tick() {
    const bool ended = allEnded();
    QStringList live;
    QStringList plain;
    const auto now = PlainLineThrottle::Clock::now();
    for (std::size_t i = 0; i < running_.size(); ++i) {
        // Each snapshot is taken whole between two turns, so a line never mixes two.
        const JobRow row = jobRowOf(running_[i].job->progress());
        const QString line = lines_->line(static_cast<int>(i), row);
        if (console_.outputIsTerminal())
            live << line;
        else if (throttle_->due(static_cast<int>(i), row, now))
            plain << line;
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
    jobs_->abortAll();
    // Jobs stuck in the kernel say nothing more: the wait ends all the same.
    QTimer::singleShot(abortWait_, context_.get(), [changes = changes_] { changes->post(); });
}

// Disks stuck in the kernel: their reports are written now, and the user learns which
// disks were left unfinished.
void JobRun::giveUpOnRunningJobs() {
    QStringList unfinished;
    for (const auto& job : jobs_->abandonRunning())
        for (const RunningJob& entry : running_)
            if (entry.job == job)
                unfinished << entry.disk->label();
    QString text = cliText("message_jobs_unfinished");
    const QString list = unfinished.join(u'\n');
    text = text.contains(QLatin1String("%s")) ? FillPlaceholders(text, {list})
                                              : text + QStringLiteral("\n\n") + list;
    console_.message(text);
    leftJobsRunning_ = true;
}

} // namespace kestrune::cli
