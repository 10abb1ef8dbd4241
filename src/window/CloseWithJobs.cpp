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

std::vector<DeviceTable::RecordPtr>
CloseWithJobs::jobsToAbort(const std::vector<DeviceTable::RecordPtr>& records) {
    std::vector<DeviceTable::RecordPtr> running;
    for (const DeviceTable::RecordPtr& record : records)
        if (record && record->state() == JobState::Running)
            running.push_back(record);
    return running;
}

QString CloseWithJobs::describeDisk(const DeviceRecord& record, DeviceTable& table) {
    QString vendor, product, path;
    {
        auto guard = table.lockByPolling();
        vendor = record.vendorText;
        product = record.productText;
        path = record.devicePath;
    }
    QString name = (vendor + QLatin1Char(' ') + product).trimmed();
    return name.isEmpty() ? path : QStringLiteral("%1 (%2)").arg(name, path);
}

QString CloseWithJobs::unfinishedMessage(const QString& text, const QStringList& disks) {
    const QString list = disks.join(QLatin1Char('\n'));
    return text.contains(QLatin1String("%s")) ? FillPlaceholders(text, {list})
                                              : text + QStringLiteral("\n\n") + list;
}

} // namespace kestrune
