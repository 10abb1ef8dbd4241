#include "ui/ShredStatusDisplay.h"

#include "devices/DeviceListModel.h"
#include "devices/DeviceTable.h"
#include "lang/LanguageManager.h"

#include <chrono>
#include <cstdio>

namespace kestrune {
namespace {

std::int64_t systemSeconds() {
    return std::chrono::duration_cast<std::chrono::seconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

QString text(const ShredStatusContext& context, const char* key) {
    return context.language ? context.language->GetString(QString::fromLatin1(key)) : QString();
}

void setStatusText(const ShredStatusContext& context, int row, const QString& value) {
    context.list->setCellText(row, DeviceListModel::StatusColumn, value);
}

void handleFailure(ShredStatusContext& context, const DeviceTable::RecordPtr& record,
                   std::int32_t deviceNumber, std::int32_t status) {
    std::printf("DeviceNumber: %d Failed\n", deviceNumber);
    std::fflush(stdout);
    record->setState(JobState::Finished);
    QString message;
    switch (status) {
    case SHRED_STATUS_FAILED_MEDIA:
        message = text(context, "status_failed_media");
        break;
    case SHRED_STATUS_FAILED_WRITE:
        message = text(context, "status_failed_write_error");
        break;
    case SHRED_STATUS_FAILED_PERMISSION:
        message = text(context, "status_failed_permission");
        break;
    case SHRED_STATUS_FAILED_FORMAT:
        message = text(context, "status_failed_format");
        break;
    case SHRED_STATUS_FAILED_VERIFY:
        message = text(context, "status_failed_verify");
        break;
    case SHRED_STATUS_FAILED_BUSY:
        message = text(context, "status_failed_busy");
        break;
    case SHRED_STATUS_FAILED_SYSTEM_DISK:
        message = text(context, "status_failed_system_disk");
        break;
    case SHRED_STATUS_FAILED_NOT_AUTHORIZED:
        message = text(context, "status_failed_not_authorized");
        break;
    case SHRED_STATUS_FAILED_NO_DISK_SERVICE:
        message = text(context, "status_failed_no_disk_service");
        break;
    default:
        message = FormatWithOneInteger(text(context, "status_failed"), status);
    }
    const int row = context.list->rowOfRecord(record.get());
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
    const std::int64_t now = context.clock();
    if (now - record.lastUpdateTime < 1)
        return;
    record.lastUpdateTime = context.clock();
    if (row >= 0)
        context.list->SetRowProgress(row, status);
    if (speed > 0)
        record.averageSpeed =
            (speed + static_cast<double>(record.speedSamples) * record.averageSpeed) /
            static_cast<double>(record.speedSamples + 1);
    record.speedSamples += 1;
    if (row < 0)
        return;
    context.list->setCellText(row, DeviceListModel::SpeedColumn,
                              QString::asprintf("%.02f MB/s", record.averageSpeed));
    context.list->setCellText(row, DeviceListModel::ElapsedColumn,
                              FormatTimeSpan(now - record.startTime));
    if (record.averageSpeed > 0) {
        const auto bytesPerSecond = static_cast<std::int64_t>(record.averageSpeed * 1048576.0);
        if (bytesPerSecond >= 1)
            context.list->setCellText(row, DeviceListModel::TimeLeftColumn,
                                      FormatTimeSpan(bytesLeft / bytesPerSecond));
    }
}

} // namespace

QString FormatTimeSpan(std::int64_t seconds) {
    if (seconds < 0)
        seconds = 0;
    const std::int64_t hours = (seconds / 3600) % 24;
    const std::int64_t minutes = (seconds / 60) % 60;
    return QString::asprintf("%02lld:%02lld:%02lld", static_cast<long long>(hours),
                             static_cast<long long>(minutes), static_cast<long long>(seconds % 60));
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
                   std::int64_t bytesLeft, std::int64_t, double speed) {
    auto& context = *static_cast<ShredStatusContext*>(contextPointer);
    if (!context.clock)
        context.clock = systemSeconds;
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
    } else if (status == SHRED_STATUS_FORMATTING) {
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
    } else if (status < 0) {
        handleFailure(context, record, deviceNumber, status);
    } else {
        handleProgress(context, *record, row, status, bytesLeft, speed);
    }
}

} // namespace kestrune
