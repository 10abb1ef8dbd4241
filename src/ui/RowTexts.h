#pragma once

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

} // namespace kestrune
