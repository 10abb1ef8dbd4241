#pragma once

#include "controls/CListCtrlEx.h"

#include <QString>
#include <cstdint>

namespace kestrune {

class DeviceListModel;
class DeviceTable;
class LanguageManager;
struct DeviceRecord;

// A disk as its row shows it, for the texts that must name it the same way.
struct RowDisk {
    QString device;  // vendor and product, the device column
    QString size;    // the size column
    QString volumes; // the name column
    QString path;    // the device node or image file
};

// The disk of the record's row now; empty texts when it has no row.
RowDisk DiskOfRow(DeviceTable& table, const DeviceListModel& list, const DeviceRecord& record);

// What Start asks before it erases the disk: the disk, its size, its volumes and the method,
// and the format that follows when it is switched on.
QString StartQuestionText(const LanguageManager& language, const RowDisk& disk,
                          std::uint32_t algorithm, bool format);

// The accessible names of a row's button, progress bar and status, each naming the disk as
// its row does ("Start erasing Kestrune Virtual Stick, 64.00 MB"); the button's follows the
// caption it shows, Start or Abort.
RowAccessibleNames AccessibleNamesOfRow(const LanguageManager& language, const RowFacts& row);

} // namespace kestrune
