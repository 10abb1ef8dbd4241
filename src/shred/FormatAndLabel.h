#pragma once

#include "platform/DiskFormatter.h"

#include <QString>
#include <cstdint>
#include <functional>

namespace kestrune {

enum class FormatResult : int { Failed = 0, Formatted = 1, Aborted = 2 };

// Gives the disk of a device number a fresh FAT file system over one partition and the
// label (stored upper-case), telling progress how far it got (0..100 %); a label that cannot
// be set is reported in a message box and still counts as formatted. Runs on the worker's
// thread; every format keeps its state to itself. Stops within about a second once
// *abortFlag is set.
FormatResult formatAndLabel(uint32_t deviceNumber, const QString& label,
                            std::function<void(int percent)> progress = {},
                            const platform::PartitioningHooks& hooks = {},
                            const unsigned char* abortFlag = nullptr);

// The same for a disk already resolved (tests use it on loop devices, which are not
// removable). *labelled, when given, says whether the label was written too.
FormatResult formatAndLabel(const platform::FormatRequest& request,
                            const platform::PartitioningHooks& hooks = {},
                            bool* labelled = nullptr);

} // namespace kestrune
