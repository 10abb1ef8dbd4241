#include "shred/ShredStatusDisplay.h"

#include "devices/DeviceListModel.h"
#include "devices/DeviceTable.h"
#include "devices/ScanDevices.h"
#include "lang/LanguageManager.h"
#include "lang/TextPlaceholders.h"

#include <chrono>
#include <cstdio>

namespace kestrune {
namespace {

std::int64_t systemSeconds() {
    return std::chrono::duration_cast<std::chrono::seconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

std::int64_t now(const ShredStatusContext& context) {
    return context.clock ? context.clock() : systemSeconds();
}

std::int64_t nowMs(const ShredStatusContext& context) {
    if (context.clockMs)
        return context.clockMs();
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

QString text(const ShredStatusContext& context, const char* key) {
    return context.language ? context.language->GetString(QString::fromLatin1(key)) : QString();
}

// The row shows what the report changed of the job's progress.
void showProgress(const ShredStatusContext& context, const DeviceRecord& record, int row,
                  const JobProgress& progress, const JobProgressChange& change,
                  std::int32_t status) {
    if (row < 0)
        return;
    DeviceListModel& list = *context.list;
    if (change.percent)
        list.SetRowProgress(row, progress.percent);
    if (change.speed && progress.speed)
        list.setCellText(row, DeviceListModel::SpeedColumn, FormatSpeed(*progress.speed));
    if (change.elapsed && progress.elapsedSeconds)
        list.setCellText(row, DeviceListModel::ElapsedColumn,
                         FormatTimeSpan(*progress.elapsedSeconds));
    if (change.timeLeft)
        list.setCellText(row, DeviceListModel::TimeLeftColumn,
                         progress.secondsLeft ? FormatTimeSpan(*progress.secondsLeft) : QString());
    if (!change.status)
        return;
    const bool failed = status < 0 && status != SHRED_STATUS_ABORTED;
    // A failure on a disk that is gone leaves its former row alone.
    if (failed && record.stale.load())
        return;
    list.setCellText(row, DeviceListModel::StatusColumn,
                     JobStatusLine(context.language.get(), progress));
    if (failed || status == SHRED_STATUS_REPORT_NOT_SAVED ||
        status == SHRED_STATUS_CERTIFICATE_NOT_SAVED || status == SHRED_STATUS_CERTIFICATE_UNSIGNED)
        list.autoSizeColumn(DeviceListModel::StatusColumn);
}

// The job's state and its Start/Abort button follow the job's turns.
void followJob(const ShredStatusContext& context, DeviceRecord& record, std::int32_t status) {
    DeviceListModel& list = *context.list;
    const auto number = record.deviceNumber;
    if (status == SHRED_STATUS_SHREDDED) {
        record.setState(JobState::Finished);
        list.SetStartButtonText(number, text(context, "status_start"));
    } else if (status == SHRED_STATUS_FORMATTING) {
        record.setState(JobState::Running);
        // The format can be aborted like the shred before it.
        list.SetStartButtonText(number, text(context, "status_abort"));
        list.EnableStartButton(number);
    } else if (status == SHRED_STATUS_FORMATTED) {
        record.setState(JobState::Finished);
        list.SetStartButtonText(number, text(context, "status_start"));
        list.EnableStartButton(number);
    } else if (status == SHRED_STATUS_ABORTED) {
        list.SetStartButtonText(number, text(context, "status_start"));
        record.setState(JobState::Aborted);
    } else if (status < 0) {
        std::printf("DeviceNumber: %d Failed\n", static_cast<int>(number));
        std::fflush(stdout);
        record.setState(JobState::Finished);
        list.SetStartButtonText(number, text(context, "status_start"));
        // A failure after formatting began must not leave the button disabled for good.
        list.EnableStartButton(number);
    }
}

} // namespace

QString JobStatusText(const LanguageManager* language, std::int32_t status, std::int64_t detail,
                      bool formatBegan) {
    auto text = [language](const char* key) {
        return language ? language->GetString(QString::fromLatin1(key)) : QString();
    };
    if (status == SHRED_STATUS_FAILED_FORMAT && !formatBegan)
        return FormatWithOneInteger(text("status_failed"), status);
    switch (status) {
    case SHRED_STATUS_SHREDDED:
    case SHRED_STATUS_FORMATTED:
        return text("status_shredded");
    case SHRED_STATUS_ABORTED:
        return text("status_aborted");
    case SHRED_STATUS_FAILED_MEDIA:
        return text("status_failed_media");
    case SHRED_STATUS_FAILED_WRITE:
        return text("status_failed_write_error");
    case SHRED_STATUS_FAILED_PERMISSION:
        return text("status_failed_permission");
    case SHRED_STATUS_FAILED_FORMAT:
        return text("status_failed_format");
    case SHRED_STATUS_FAILED_VERIFY:
        return text("status_failed_verify");
    case SHRED_STATUS_FAILED_BUSY:
        return text("status_failed_busy");
    case SHRED_STATUS_FAILED_SYSTEM_DISK:
        return text("status_failed_system_disk");
    case SHRED_STATUS_FAILED_NOT_AUTHORIZED:
        return text("status_failed_not_authorized");
    case SHRED_STATUS_FAILED_NO_DISK_SERVICE:
        return text("status_failed_no_disk_service");
    case SHRED_STATUS_FAILED_COUNTERFEIT:
        return FormatWithOneText(text("status_failed_counterfeit"), formatSizeText(detail));
    case SHRED_STATUS_FAILED_WRITE_PROTECTED:
        return text("status_failed_write_protected");
    case SHRED_STATUS_FAILED_HELD:
        return text("status_failed_held");
    case SHRED_STATUS_INTERRUPTED:
        return text("status_interrupted");
    default:
        return FormatWithOneInteger(text("status_failed"), status);
    }
}

QString FormatTimeSpan(std::int64_t seconds) {
    if (seconds < 0)
        seconds = 0;
    // A long job runs for days: its hours are shown in full, never taken modulo 24.
    const std::int64_t hours = seconds / 3600;
    const std::int64_t minutes = (seconds / 60) % 60;
    return QString::asprintf("%02lld:%02lld:%02lld", static_cast<long long>(hours),
                             static_cast<long long>(minutes), static_cast<long long>(seconds % 60));
}

double MeanSpeed(std::int64_t bytes, std::int64_t milliseconds) {
    if (bytes <= 0 || milliseconds <= 0)
        return 0.0;
    return static_cast<double>(bytes) / 1048576.0 / (static_cast<double>(milliseconds) / 1000.0);
}

QString FormatSpeed(double mibPerSecond) {
    // Above 100 MB/s the hundredths say nothing and would not fit the column.
    return mibPerSecond < 99.995 ? QString::asprintf("%.02f MB/s", mibPerSecond)
                                 : QString::asprintf("%.0f MB/s", mibPerSecond);
}

QString FormatWithOneText(const QString& format, const QString& value) {
    return FillPlaceholders(format, {value});
}

QString FormatWithOneInteger(const QString& format, int value) {
    QString result;
    bool filled = false;
    for (qsizetype i = 0; i < format.size(); ++i) {
        const QChar c = format[i];
        if (c != u'%' || i + 1 >= format.size()) {
            result += c;
            continue;
        }
        if (format[i + 1] == u'%') {
            result += u'%';
            ++i;
            continue;
        }
        // A conversion: flags, width, then the letter. Only the first d or i is filled.
        qsizetype j = i + 1;
        while (j < format.size() && QStringLiteral("-+ 0#").contains(format[j]))
            ++j;
        while (j < format.size() && format[j].isDigit())
            ++j;
        if (!filled && j < format.size() && (format[j] == u'd' || format[j] == u'i')) {
            const QString conversion = format.mid(i, j - i + 1);
            result += QString::asprintf(conversion.toLatin1().constData(), value);
            filled = true;
            i = j;
            continue;
        }
        result += c;
    }
    return result;
}

void OnShredStatus(void* contextPointer, std::int32_t deviceNumber, std::int32_t status,
                   std::int64_t bytesLeft, std::int64_t secondValue, double speed) {
    auto& context = *static_cast<ShredStatusContext*>(contextPointer);
    auto guard = context.table->lockByPolling();
    DeviceTable::RecordPtr record =
        context.table->findByDeviceNumber(static_cast<std::uint32_t>(deviceNumber));
    if (!record)
        return;
    const std::int64_t seconds = now(context);
    const std::int64_t milliseconds = nowMs(context);
    // Under the board's lock, so that an abort's word on the row never comes after the job's.
    context.progress.update(record, seconds, [&](JobProgressEstimator& estimator) {
        const JobProgressChange change =
            estimator.report(status, bytesLeft, secondValue, speed, seconds, milliseconds);
        showProgress(context, *record, context.list->rowOfRecord(record.get()),
                     estimator.progress(), change, status);
        followJob(context, *record, status);
    });
}

bool ShowJobAborting(ShredStatusContext& context, const std::shared_ptr<DeviceRecord>& record) {
    return context.progress.update(record, now(context), [&](JobProgressEstimator& estimator) {
        if (record->state() != JobState::Running || !estimator.requestAbort())
            return false;
        const int row = context.list->rowOfRecord(record.get());
        if (row >= 0)
            context.list->setCellText(row, DeviceListModel::StatusColumn,
                                      JobStatusLine(context.language.get(), estimator.progress()));
        return true;
    });
}

} // namespace kestrune
