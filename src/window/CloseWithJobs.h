#pragma once

#include "devices/DeviceListModel.h"

#include <QString>
#include <QStringList>
#include <chrono>

namespace kestrune {

// Closing the window while jobs run, decided without a widget: whether to ask, how long to
// wait for the aborted jobs, when to give up on them and what to tell the user of those
// left unfinished. The window keeps the question box, the timer and the disabled state.
class CloseWithJobs {
public:
    using Clock = std::chrono::steady_clock;

    enum class Tick {
        KeepWaiting, // jobs still run and the wait has time left
        Close,       // every job has ended
        GiveUp,      // the wait is over with jobs still running
    };

    // Closing asks first while jobs run, unless the system ends the program anyway.
    static bool mustAsk(int runningJobs, bool terminationRequested);
    // Whether the jobs are to be aborted: Yes, or an end the user cannot refuse.
    static bool agreesToAbort(bool answeredYes, bool terminationRequested);

    void setWait(std::chrono::milliseconds wait) { wait_ = wait; }
    std::chrono::milliseconds wait() const { return wait_; }

    // Starts closing with the dialog result `result`. True when the window must wait for
    // running jobs (closing() then holds until finish()); false when it may close at once.
    bool begin(int result, int runningJobs, Clock::time_point now);
    bool closing() const { return closing_; }
    // The state of the wait at `now`; it does not end the closing, finish() does.
    Tick tick(int runningJobs, Clock::time_point now) const;
    // Ends the closing and returns the result begin() was given.
    int finish();

    // A disk as the unfinished-jobs message names it: maker and model with the device path,
    // or the path alone.
    static QString describeDisk(const RowDisk& disk);
    // The message of disks left unfinished: the language text with the list in its "%s",
    // or after it when the text has no place for it.
    static QString unfinishedMessage(const QString& text, const QStringList& disks);

private:
    std::chrono::milliseconds wait_{std::chrono::seconds(60)};
    Clock::time_point deadline_{};
    int result_ = 0;
    bool closing_ = false;
};

} // namespace kestrune
