#pragma once

#include "controls/CListCtrlEx.h"
#include "devices/DeviceListModel.h"

#include <QString>
#include <cstdint>

namespace kestrune {

class LanguageManager;

// What Start asks before it erases the disk: the disk, its size, its volumes and the method,
// and the format that follows when it is switched on.
QString StartQuestionText(const LanguageManager& language, const RowDisk& disk,
                          std::uint32_t algorithm, bool format);

// The accessible names of a row's button, progress bar and status, each naming the disk as
// its row does ("Start erasing Kestrune Virtual Stick, 64.00 MB", and ", sdb" where another
// row reads the same); the button's follows the caption it shows, Start or Abort.
RowAccessibleNames AccessibleNamesOfRow(const LanguageManager& language, const RowFacts& row);

} // namespace kestrune
