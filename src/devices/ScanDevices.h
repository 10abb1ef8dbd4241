#pragma once

#include "devices/DeviceListModel.h"
#include "platform/DiskEnumerator.h"

#include <QString>
#include <cstdint>
#include <functional>

namespace kestrune {

class DeviceTable;
class DeviceListModel;

// What a scan tells the main window at its end; called on the scanning thread, so an
// implementation posts to its own thread and returns at once.
class DeviceScanNotifier {
public:
    virtual ~DeviceScanNotifier() = default;
    virtual void deviceListEmpty() = 0;
    virtual void deviceListFilled() = 0;
};

// Where a scan gets its disks and its one language text; the defaults are the platform's
// enumerator and the language component.
struct DeviceScanSources {
    const platform::DiskEnumerator* enumerator = nullptr;
    std::function<QString(const QString& key)> text;
};

// Brings the table and the list up to date with the removable disks present; returns the
// number of disks seen.
int scanDevices(DeviceTable& table, DeviceListModel& list, DeviceScanNotifier& notifier);
int scanDevices(DeviceTable& table, DeviceListModel& list, DeviceScanNotifier& notifier,
                const DeviceScanSources& sources);

// The disk as its row shows it, from what the enumeration read of it (noMediumText for the
// size of a reader without a card).
RowDisk rowDiskOf(const platform::DiskInfo& disk, const QString& noMediumText);

// Size column text: "999.00 B", "0.98 KB", "3.73 GB", "1.00 TB".
QString formatSizeText(std::int64_t bytes);
// One volume in the name column: "DATA (/media/u/DATA)", "BACKUP (sdb2)", "(sdb3)".
QString volumeDisplayText(const platform::VolumeInfo& volume);
// The report's size: GiB with two decimals ("3.73").
QString formatGigabytesText(std::int64_t bytes);

} // namespace kestrune
