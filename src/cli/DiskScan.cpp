#include "cli/DiskScan.h"

#include "cli/CliText.h"
#include "devices/DeviceListModel.h"
#include "devices/DeviceTable.h"
#include "devices/ScanDevices.h"

#include <QFileInfo>

namespace kestrune::cli {
namespace {

// The platform's enumeration, remembered: the scan fills the table from it, and the command
// line reads what the table does not keep from the very same answer.
class RememberingEnumerator final : public platform::DiskEnumerator {
public:
    RememberingEnumerator() : inner_(platform::createDiskEnumerator()) {}
    std::optional<std::vector<platform::DiskInfo>> enumerate() const override {
        answer_ = inner_->enumerate();
        return answer_;
    }
    const std::optional<std::vector<platform::DiskInfo>>& answer() const { return answer_; }

private:
    std::unique_ptr<platform::DiskEnumerator> inner_;
    mutable std::optional<std::vector<platform::DiskInfo>> answer_;
};

// Nobody to tell: the command line reads the rows once the scan has returned.
class SilentNotifier final : public DeviceScanNotifier {
public:
    void deviceListEmpty() override {}
    void deviceListFilled() override {}
};

} // namespace

QString ScannedDisk::label() const {
    if (info.identity.simulated)
        return QFileInfo(info.imageFile.isEmpty() ? info.identity.path : info.imageFile).fileName();
    return info.identity.path;
}

DiskScan DiskScan::run() {
    DiskScan scan;
    scan.table_ = std::make_shared<DeviceTable>();
    scan.list_ = std::make_shared<DeviceListModel>();
    RememberingEnumerator enumerator;
    SilentNotifier notifier;
    DeviceScanSources sources;
    sources.enumerator = &enumerator;
    scanDevices(*scan.table_, *scan.list_, notifier, sources);
    if (!enumerator.answer()) {
        scan.failed_ = true;
        return scan;
    }
    for (int row = 0; row < scan.list_->rowCount(); ++row) {
        ScannedDisk disk;
        disk.record = scan.list_->recordOfRow(row);
        if (!disk.record)
            continue;
        disk.row = row;
        {
            auto guard = scan.table_->lockByPolling();
            for (const platform::DiskInfo& info : *enumerator.answer())
                if (info.identity.path == disk.record->devicePath)
                    disk.info = info;
        }
        // Worded as the window's row words it, from the same answer.
        const RowDisk shown = rowDiskOf(disk.info, cliText("N/A"));
        disk.nameColumn = shown.volumes;
        disk.deviceColumn = shown.device;
        disk.sizeColumn = shown.size;
        scan.disks_.push_back(std::move(disk));
    }
    return scan;
}

} // namespace kestrune::cli
