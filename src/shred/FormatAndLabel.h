#pragma once

#include "platform/DiskFormatter.h"

#include <QString>
#include <cstdint>

#include <kestrune/shred_abi.h>

namespace kestrune {

enum class FormatResult : int { Failed = 0, Formatted = 1, Aborted = 2 };

// Gives the disk of a device number a fresh FAT file system over one partition and the
// label (stored upper-case). Progress goes to the worker's callback as 300 + percent; a
// label that cannot be set is reported in a message box and still counts as formatted.
// Runs on the worker's thread; every format keeps its state to itself. Stops within about a
// second once *abortFlag is set.
FormatResult formatAndLabel(uint32_t deviceNumber, const QString& label,
                            ShredStatusCallback callback, void* context,
                            const platform::PartitioningHooks& hooks = {},
                            const unsigned char* abortFlag = nullptr);

// The same for a disk already resolved (tests use it on loop devices, which are not
// removable). *labelled, when given, says whether the label was written too.
FormatResult formatAndLabel(const platform::FormatRequest& request,
                            const platform::PartitioningHooks& hooks = {},
                            bool* labelled = nullptr);

// The same with the format's progress reported to callback as the worker's statuses:
// 301..399 while it formats (300, "formatting began", is the worker's own), 400 once it is
// formatted.
FormatResult formatAndLabel(platform::FormatRequest request, ShredStatusCallback callback,
                            void* context, const platform::PartitioningHooks& hooks,
                            bool* labelled = nullptr);

} // namespace kestrune
