#include "window/CloseWithJobs.h"

#include "lang/TextPlaceholders.h"

namespace kestrune {

bool CloseWithJobs::mustAsk(int runningJobs, bool terminationRequested) {
    return runningJobs > 0 && !terminationRequested;
}

bool CloseWithJobs::agreesToAbort(bool answeredYes, bool terminationRequested) {
    return answeredYes || terminationRequested;
}

bool CloseWithJobs::begin(int result, int runningJobs, Clock::time_point now) {
    if (closing_)
        return true;
    if (runningJobs <= 0)
        return false;
    closing_ = true;
    result_ = result;
    deadline_ = now + wait_;
    return true;
}

CloseWithJobs::Tick CloseWithJobs::tick(int runningJobs, Clock::time_point now) const {
    if (runningJobs <= 0)
        return Tick::Close;
    return now < deadline_ ? Tick::KeepWaiting : Tick::GiveUp;
}

int CloseWithJobs::finish() {
    closing_ = false;
    return result_;
}

QString CloseWithJobs::describeDisk(const RowDisk& disk) {
    const QString name = disk.device.trimmed();
    return name.isEmpty() ? disk.path : QStringLiteral("%1 (%2)").arg(name, disk.path);
}

QString CloseWithJobs::unfinishedMessage(const QString& text, const QStringList& disks) {
    const QString list = disks.join(QLatin1Char('\n'));
    return text.contains(QLatin1String("%s")) ? FillPlaceholders(text, {list})
                                              : text + QStringLiteral("\n\n") + list;
}

} // namespace kestrune
