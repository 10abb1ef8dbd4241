#pragma once

#include "shred/JobProgress.h"

#include <QString>
#include <cstdint>

namespace kestrune {

// What a job's row says of its final status (detail: the usable bytes of a counterfeit
// medium), so every document of a job words its outcome as the row does. A -7 is the
// worker's failed format only once that format began; an engine's own -7 is a code like any
// other.
QString JobStatusText(const LanguageManager* language, JobStatus status, std::int64_t detail,
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
