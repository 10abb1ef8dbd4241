#include "shred/ShredStatusDisplay.h"

#include "devices/ScanDevices.h"
#include "lang/LanguageManager.h"
#include "lang/TextPlaceholders.h"

namespace kestrune {
namespace {

// The language key of each status with words of its own.
const char* statusKey(JobStatus status) {
    switch (status) {
    case JobStatus::Shredded:
    case JobStatus::Formatted:
        return "status_shredded";
    case JobStatus::Aborted:
        return "status_aborted";
    case JobStatus::FailedMedia:
        return "status_failed_media";
    case JobStatus::FailedWrite:
        return "status_failed_write_error";
    case JobStatus::FailedPermission:
        return "status_failed_permission";
    case JobStatus::FailedFormat:
        return "status_failed_format";
    case JobStatus::FailedVerify:
        return "status_failed_verify";
    case JobStatus::FailedBusy:
        return "status_failed_busy";
    case JobStatus::FailedSystemDisk:
        return "status_failed_system_disk";
    case JobStatus::FailedNotAuthorized:
        return "status_failed_not_authorized";
    case JobStatus::FailedNoDiskService:
        return "status_failed_no_disk_service";
    case JobStatus::FailedWriteProtected:
        return "status_failed_write_protected";
    case JobStatus::FailedHeld:
        return "status_failed_held";
    case JobStatus::Interrupted:
        return "status_interrupted";
    default:
        return nullptr;
    }
}

} // namespace

QString JobStatusText(const LanguageManager* language, JobStatus status, std::int64_t detail,
                      bool formatBegan) {
    auto text = [language](const char* key) {
        return language ? language->GetString(QString::fromLatin1(key)) : QString();
    };
    if (status == JobStatus::FailedCounterfeit)
        return FormatWithOneText(text("status_failed_counterfeit"), formatSizeText(detail));
    const char* key = statusKey(status);
    // An engine's own -7 is a code like any other: only the job's format fails as one.
    if (!key || (status == JobStatus::FailedFormat && !formatBegan))
        return FormatWithOneInteger(text("status_failed"), code(status));
    return text(key);
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

} // namespace kestrune
