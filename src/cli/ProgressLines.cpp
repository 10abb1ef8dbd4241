#include "cli/ProgressLines.h"

#include "cli/CliText.h"
#include "lang/LanguageManager.h"
#include "shred/JobProgress.h"
#include "shred/ShredStatusDisplay.h"

#include <algorithm>

namespace kestrune::cli {
namespace {

constexpr int kBarWidth = 20;

QString padded(const QString& text, qsizetype width) {
    return text + QString(std::max<qsizetype>(0, width - text.size()), u' ');
}

QString rightAligned(const QString& text, qsizetype width) {
    return QString(std::max<qsizetype>(0, width - text.size()), u' ') + text;
}

} // namespace

JobRow jobRowOf(const JobProgress& progress) {
    JobRow row;
    row.progress = std::clamp(progress.percent, 0, 100);
    if (progress.speed)
        row.speed = FormatSpeed(*progress.speed);
    if (progress.elapsedSeconds)
        row.elapsed = FormatTimeSpan(*progress.elapsedSeconds);
    if (progress.secondsLeft)
        row.timeLeft = FormatTimeSpan(*progress.secondsLeft);
    row.status = JobStatusLine(GetLanguageManager().get(), progress);
    return row;
}

ProgressLines::ProgressLines(QStringList labels, bool bars)
    : labels_(std::move(labels)), bars_(bars) {
    headings_ = {cliText("cli_column_disk"), cliText("column_progress"),  cliText("column_speed"),
                 cliText("column_elapsed"),  cliText("column_time_left"), cliText("column_status")};
    // Each column as wide as its heading and the widest text it shows while jobs run.
    const qsizetype samples[] = {0,
                                 progressText(100).size(),
                                 QStringLiteral("0000.00 MB/s").size(),
                                 QStringLiteral("00:00:00").size(),
                                 QStringLiteral("00:00:00").size(),
                                 0};
    for (qsizetype i = 0; i < headings_.size(); ++i)
        widths_.push_back(std::max(headings_[i].size(), samples[i]));
    for (const QString& label : labels_)
        widths_[0] = std::max(widths_[0], label.size());
}

QString ProgressLines::progressText(int progress) const {
    const QString percent = QStringLiteral("%1 %").arg(progress, 3);
    if (!bars_)
        return percent;
    const int filled = progress * kBarWidth / 100;
    return u'[' + QString(filled, u'#') + QString(kBarWidth - filled, u'-') + QStringLiteral("] ") +
           percent;
}

QString ProgressLines::heading() const {
    QString line;
    for (qsizetype i = 0; i + 1 < headings_.size(); ++i)
        line += padded(headings_[i], widths_[i]) + QStringLiteral("  ");
    return line + headings_.back();
}

QString ProgressLines::line(int job, const JobRow& row) const {
    const QStringList cells = {labels_.value(job), progressText(row.progress),
                               rightAligned(row.speed, widths_[2]), row.elapsed, row.timeLeft};
    QString line;
    for (qsizetype i = 0; i < cells.size(); ++i)
        line += padded(cells[i], widths_[i]) + QStringLiteral("  ");
    return line + row.status;
}

PlainLineThrottle::PlainLineThrottle(int jobs, Clock::duration interval)
    : last_(static_cast<std::size_t>(jobs)), interval_(interval) {}

bool PlainLineThrottle::due(int job, const JobRow& row, Clock::time_point now) {
    Last& last = last_.at(static_cast<std::size_t>(job));
    const bool due = !last.printed || row.status != last.row.status ||
                     (row != last.row && now - last.at >= interval_);
    if (due) {
        last.printed = true;
        last.row = row;
        last.at = now;
    }
    return due;
}

} // namespace kestrune::cli
