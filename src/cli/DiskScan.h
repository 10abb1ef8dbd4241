#pragma once

#include "devices/DeviceRecord.h"
#include "platform/DiskEnumerator.h"

#include <memory>
#include <vector>

namespace kestrune {
class DeviceListModel;
class DeviceTable;
} // namespace kestrune

namespace kestrune::cli {

// One disk of the scan: its record as the window has it, what the enumeration read of it
// (the volumes one by one, the image of a simulated disk), and how a row words it.
struct ScannedDisk {
    std::shared_ptr<DeviceRecord> record;
    platform::DiskInfo info;
    int row = -1;
    QString nameColumn;
    QString deviceColumn;
    QString sizeColumn;
    // How the terminal names the disk: its device path, or a simulated disk's image name.
    QString label() const;
};

// The window's own scan, once, on a table and rows of its own without a view.
class DiskScan {
public:
    static DiskScan run();

    // The system's disks could not be read: that is not "no disks".
    bool failed() const { return failed_; }
    // In the order of the rows.
    const std::vector<ScannedDisk>& disks() const { return disks_; }
    const std::shared_ptr<DeviceTable>& table() const { return table_; }
    const std::shared_ptr<DeviceListModel>& list() const { return list_; }

private:
    bool failed_ = false;
    std::vector<ScannedDisk> disks_;
    std::shared_ptr<DeviceTable> table_;
    std::shared_ptr<DeviceListModel> list_;
};

} // namespace kestrune::cli
