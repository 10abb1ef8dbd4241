#pragma once

#include <QString>
#include <QStringList>
#include <chrono>
#include <vector>

namespace kestrune {
struct JobProgress;
} // namespace kestrune

namespace kestrune::cli {

// What one job's line shows.
struct JobRow {
    int progress = 0; // percent of the current phase (shredding, then formatting)
    QString speed;
    QString elapsed;
    QString timeLeft;
    QString status;
    bool operator==(const JobRow&) const = default;
};
// The line's texts for the job's progress: the window's figures and words, laid out anew.
JobRow jobRowOf(const JobProgress& progress);

// One line per job under a heading, the columns of the window: disk, progress, speed,
// elapsed, time left, status. A terminal gets a bar in the progress column.
class ProgressLines {
public:
    ProgressLines(QStringList labels, bool bars);
    QString heading() const;
    QString line(int job, const JobRow& row) const;

private:
    QString progressText(int progress) const;

    QStringList labels_;
    bool bars_;
    QStringList headings_;
    std::vector<qsizetype> widths_;
};

// When an output that is no terminal gets a job's line: at once when its status text
// changed, and when only its figures changed, at most once per interval.
class PlainLineThrottle {
public:
    using Clock = std::chrono::steady_clock;
    PlainLineThrottle(int jobs, Clock::duration interval);
    bool due(int job, const JobRow& row, Clock::time_point now);

private:
    struct Last {
        bool printed = false;
        JobRow row;
        Clock::time_point at;
    };
    std::vector<Last> last_;
    Clock::duration interval_;
};

} // namespace kestrune::cli
