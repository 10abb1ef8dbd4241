#pragma once

#include "shred/JobProgress.h"

#include <QString>
#include <cstdint>
#include <functional>
#include <memory>

#include <kestrune/shred_abi.h>

namespace kestrune {

class DeviceListModel;
class DeviceTable;
struct DeviceRecord;

// What the status callback reaches through its context: the table, each job's progress, the
// rows and the texts. Workers hold it by shared pointer, so a late report never meets freed
// state.
struct ShredStatusContext {
    std::shared_ptr<DeviceTable> table;
    std::shared_ptr<DeviceListModel> list;
    std::shared_ptr<LanguageManager> language;
    JobProgressBoard progress;
    // Seconds since the epoch; the system clock when empty. Set before any job reports:
    // reports of several jobs read it at once.
    std::function<std::int64_t()> clock;
    // Milliseconds of a steady clock, for a job's mean speed; the system's steady clock when
    // empty. Set before any job reports, as the clock above.
    std::function<std::int64_t()> clockMs;
};

// The status callback handed to every shred worker and, through it, to the engine.
void OnShredStatus(void* context, std::int32_t deviceNumber, std::int32_t status,
                   std::int64_t bytesLeft, std::int64_t secondValue, double speed);

// The record's running job was asked to stop: its row says so, unless the job has had its
// last word already. False then, or when no job runs.
bool ShowJobAborting(ShredStatusContext& context, const std::shared_ptr<DeviceRecord>& record);

// What a job's row says of its final status (detail: the usable bytes of a counterfeit
// medium), so every document of a job words its outcome as the row does. A -7 is the
// worker's failed format only once that format began; an engine's own -7 is a code like any
// other.
QString JobStatusText(const LanguageManager* language, std::int32_t status, std::int64_t detail,
                      bool formatBegan = true);

// A span of seconds as "%H:%M:%S"; beyond a day the hours go on counting ("83:12:05").
QString FormatTimeSpan(std::int64_t seconds);
// MiB per second of bytes over milliseconds; 0 when either is not positive.
double MeanSpeed(std::int64_t bytes, std::int64_t milliseconds);
// A speed in MiB/s as the speed column shows it: "%.02f MB/s", whole numbers from 100 on.
QString FormatSpeed(double mibPerSecond);
// Fills the first "%s" of a language text with value ("%%" is a percent sign).
QString FormatWithOneText(const QString& format, const QString& value);
// Fills the one integer placeholder of a language text; every other '%' is shown as it
// stands, so a text can never read arguments that are not there.
QString FormatWithOneInteger(const QString& format, int value);

} // namespace kestrune
