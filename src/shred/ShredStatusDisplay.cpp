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

// A device that has not moved on for this long is shown as standing still.
constexpr std::int64_t kStallSeconds = 10;

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

// Every progress report counts, also those the display skips: a job may end before the
// row is due again. A repeat without new bytes (the worker's heartbeat) is no progress.
void noteBytesDone(const ShredStatusContext& context, DeviceRecord& record,
                   std::int64_t bytesDone) {
    const std::int64_t time = nowMs(context);
    if (record.firstProgressMs < 0) {
        record.firstProgressMs = time;
        record.lastProgressMs = time;
        record.firstBytesDone = bytesDone;
        record.bytesDone = bytesDone;
    } else if (bytesDone > record.bytesDone) {
        record.bytesDone = bytesDone;
        record.lastProgressMs = time;
    }
}

// Once the job's writing and reading has ended, the row shows their mean speed: a job done
// within a second has no other, and a long one's is truer than the mean of its samples.
void showMeanSpeed(const ShredStatusContext& context, const DeviceRecord& record, int row) {
    const double speed = MeanSpeed(record.bytesDone - record.firstBytesDone,
                                   record.lastProgressMs - record.firstProgressMs);
    if (row >= 0 && speed > 0)
        context.list->setCellText(row, DeviceListModel::SpeedColumn, FormatSpeed(speed));
}

QString text(const ShredStatusContext& context, const char* key) {
    return context.language ? context.language->GetString(QString::fromLatin1(key)) : QString();
}

void setStatusText(const ShredStatusContext& context, int row, const QString& value) {
    context.list->setCellText(row, DeviceListModel::StatusColumn, value);
}

void handleFailure(ShredStatusContext& context, const DeviceTable::RecordPtr& record,
                   std::int32_t deviceNumber, std::int32_t status, std::int64_t detail) {
    std::printf("DeviceNumber: %d Failed\n", deviceNumber);
    std::fflush(stdout);
    record->setState(JobState::Finished);
    const QString message = JobStatusText(context.language.get(), status, detail);
    const int row = context.list->rowOfRecord(record.get());
    showMeanSpeed(context, *record, row);
    if (!record->stale.load() && row >= 0) {
        setStatusText(context, row, message);
        context.list->autoSizeColumn(DeviceListModel::StatusColumn);
    }
    context.list->SetStartButtonText(record->deviceNumber, text(context, "status_start"));
    // A failure after formatting began must not leave the button disabled for good.
    context.list->EnableStartButton(record->deviceNumber);
}

void handleProgress(ShredStatusContext& context, DeviceRecord& record, int row, std::int32_t status,
                    std::int64_t bytesLeft, double speed) {
    const std::int64_t time = now(context);
    if (time - record.lastUpdateTime < 1)
        return;
    record.lastUpdateTime = time;
    if (row >= 0)
        context.list->SetRowProgress(row, status);
    // A report without a speed (the first of a job, or one while the device is silent)
    // is no sample: counted, it would pull the mean towards zero.
    if (speed > 0) {
        record.averageSpeed =
            (speed + static_cast<double>(record.speedSamples) * record.averageSpeed) /
            static_cast<double>(record.speedSamples + 1);
        record.speedSamples += 1;
    }
    if (bytesLeft != record.lastBytesLeft) {
        record.lastBytesLeft = bytesLeft;
        record.lastProgressTime = time;
    }
    const bool stalled = time - record.lastProgressTime >= kStallSeconds;
    if (row < 0)
        return;
    context.list->setCellText(row, DeviceListModel::SpeedColumn,
                              FormatSpeed(stalled ? 0.0 : record.averageSpeed));
    context.list->setCellText(row, DeviceListModel::ElapsedColumn,
                              FormatTimeSpan(time - record.startTime));
    // No estimate is better than a stale one.
    QString timeLeft;
    const auto bytesPerSecond = static_cast<std::int64_t>(record.averageSpeed * 1048576.0);
    if (!stalled && bytesPerSecond >= 1)
        timeLeft = FormatTimeSpan(bytesLeft / bytesPerSecond);
    context.list->setCellText(row, DeviceListModel::TimeLeftColumn, timeLeft);
}

// The job ended, but one of its documents was not written: the row says so after its
// status.
void appendToStatus(ShredStatusContext& context, int row, const char* key) {
    if (row < 0)
        return;
    const QString status = context.list->cellText(row, DeviceListModel::StatusColumn);
    setStatusText(context, row, FormatWithOneText(text(context, key), status));
    context.list->autoSizeColumn(DeviceListModel::StatusColumn);
}

} // namespace

QString JobStatusText(const LanguageManager* language, std::int32_t status, std::int64_t detail) {
    auto text = [language](const char* key) {
        return language ? language->GetString(QString::fromLatin1(key)) : QString();
    };
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
    DeviceListModel& list = *context.list;
    const int row = list.rowOfRecord(record.get());
    const auto number = record->deviceNumber;

    if (status == SHRED_STATUS_SHREDDED) {
        if (row >= 0) {
            list.SetRowProgress(row, 100);
            setStatusText(context, row, text(context, "status_shredded"));
        }
        record->setState(JobState::Finished);
        list.SetStartButtonText(number, text(context, "status_start"));
        if (row >= 0)
            list.setCellText(row, DeviceListModel::TimeLeftColumn, FormatTimeSpan(0));
        showMeanSpeed(context, *record, row);
    } else if (status == SHRED_STATUS_FORMATTING) {
        showMeanSpeed(context, *record, row);
        if (row >= 0)
            setStatusText(context, row, text(context, "status_formating"));
        record->setState(JobState::Running);
        // The format can be aborted like the shred before it.
        list.SetStartButtonText(number, text(context, "status_abort"));
        list.EnableStartButton(number);
    } else if (status == SHRED_STATUS_FORMATTED) {
        if (row >= 0) {
            list.SetRowProgress(row, 100);
            setStatusText(context, row, text(context, "status_shredded"));
        }
        record->setState(JobState::Finished);
        list.SetStartButtonText(number, text(context, "status_start"));
        list.EnableStartButton(number);
    } else if (status > SHRED_STATUS_FORMATTING && status < SHRED_STATUS_FORMATTED) {
        if (row >= 0)
            list.SetRowProgress(row, status - SHRED_STATUS_FORMATTING);
    } else if (status == SHRED_STATUS_ABORTED) {
        list.SetStartButtonText(number, text(context, "status_start"));
        if (row >= 0)
            setStatusText(context, row, text(context, "status_aborted"));
        record->setState(JobState::Aborted);
        showMeanSpeed(context, *record, row);
    } else if (status < 0) {
        handleFailure(context, record, deviceNumber, status, secondValue);
    } else if (status == SHRED_STATUS_REPORT_NOT_SAVED) {
        appendToStatus(context, row, "status_report_not_saved");
    } else if (status == SHRED_STATUS_CERTIFICATE_NOT_SAVED) {
        appendToStatus(context, row, "status_certificate_not_saved");
    } else if (status >= SHRED_FINDING_FIRST && status <= SHRED_FINDING_LAST) {
        // Findings about the medium are the report's, not progress.
    } else {
        noteBytesDone(context, *record, secondValue);
        handleProgress(context, *record, row, status, bytesLeft, speed);
    }
}

} // namespace kestrune
