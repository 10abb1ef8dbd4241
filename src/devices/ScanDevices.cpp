#include "devices/ScanDevices.h"

#include "devices/DeviceListModel.h"
#include "devices/DeviceTable.h"
#include "lang/LanguageManager.h"
#include "lang/TextPlaceholders.h"

#include <QFile>
#include <QStringList>
#include <cstdio>
#include <cstring>
#include <functional>
#include <kestrune/disk_numbers.h>
#include <mutex>
#include <set>
#include <utility>

namespace kestrune {

namespace {

using RecordPtr = DeviceTable::RecordPtr;

struct SeenDisk {
    RecordPtr record;
    const platform::DiskInfo* disk;
};

// A disk beyond the numbers has none to tell it apart: it keeps its own row by its path.
RecordPtr recordOf(const DeviceTable& table, std::uint32_t number, const QString& path) {
    if (number != kUnknownDeviceNumber)
        return table.findByDeviceNumber(number);
    for (const RecordPtr& record : table.records())
        if (record->deviceNumber == number && record->devicePath == path)
            return record;
    return nullptr;
}

// Numbers whose record was removed while a worker still held it: the worker may still
// report under that number, so it is not handed to another disk until the worker has let
// the record go.
std::mutex pendingMutex;
std::vector<std::pair<std::int32_t, RecordPtr>> pendingRelease;

bool toIdentity(const platform::DiskIdentity& from, KestruneDiskIdentity& to) {
    const QByteArray path =
        from.nativePath.isEmpty() ? QFile::encodeName(from.path) : from.nativePath;
    // A cut path would name another file; such a disk cannot be identified.
    if (path.isEmpty() || path.size() >= KESTRUNE_DISK_PATH_SIZE || path.contains('\0'))
        return false;
    std::memset(&to, 0, sizeof to);
    std::memcpy(to.path, path.constData(), static_cast<std::size_t>(path.size()));
    to.devt = from.devt;
    to.diskseq = from.diskseq;
    to.simulated = from.simulated ? 1 : 0;
    return true;
}

// A new disk's record and row, its job columns empty.
RecordPtr addRow(DeviceTable& table, DeviceListModel& list, std::uint32_t number,
                 const QString& path, const QString& noNumberText) {
    RecordPtr record = table.recordAt(table.insertSorted(number));
    if (!record)
        return nullptr;
    {
        auto guard = table.lockByPolling();
        record->devicePath = path;
    }
    const int row = record->rowIndex.load();
    list.insertRow(row, record);
    list.setCellText(row, DeviceListModel::ElapsedColumn, QString());
    list.setCellText(row, DeviceListModel::TimeLeftColumn, QString());
    list.setCellText(row, DeviceListModel::SpeedColumn, QString());
    // Its button does nothing until another disk leaves a number free: the row says so.
    if (number == kUnknownDeviceNumber) {
        list.setCellText(
            row, DeviceListModel::StatusColumn,
            FillPlaceholders(noNumberText, {QString::number(KESTRUNE_DISK_NUMBER_COUNT)}));
        list.autoSizeColumn(DeviceListModel::StatusColumn);
    }
    return record;
}

QString deviceText(const QString& vendor, const QString& product) {
    QString text = vendor;
    if (!product.isEmpty()) {
        if (!text.isEmpty())
            text += QLatin1Char(' ');
        text += product;
    }
    return text;
}

QString volumesText(const std::vector<platform::VolumeInfo>& volumes) {
    QStringList texts;
    for (const platform::VolumeInfo& volume : volumes)
        texts << volumeDisplayText(volume);
    return texts.join(QStringLiteral(", "));
}

void releaseNumbers(const DeviceTable& table, const std::vector<RecordPtr>& removed,
                    const std::set<std::int32_t>& acquired) {
    std::lock_guard guard(pendingMutex);
    for (const RecordPtr& record : removed) {
        if (record->deviceNumber < KESTRUNE_DISK_NUMBER_COUNT)
            pendingRelease.emplace_back(static_cast<std::int32_t>(record->deviceNumber), record);
    }
    std::erase_if(pendingRelease, [&](const auto& entry) {
        const auto& [number, record] = entry;
        if (acquired.count(number) || table.findByDeviceNumber(static_cast<std::uint32_t>(number)))
            return true; // its disk is back, or another record holds it: in use again
        if (record->workers.load() > 0)
            return false;
        kestrune_disk_number_release(number);
        return true;
    });
}

void assignDriveLetters(DeviceTable& table, DeviceListModel& list,
                        const std::vector<SeenDisk>& seen) {
    {
        auto guard = table.lockByPolling();
        table.clearNames();
        for (const SeenDisk& entry : seen) {
            const RecordPtr& record = entry.record;
            const QString volumes = volumesText(entry.disk->volumes);
            if (!record->displayName.isEmpty() && !volumes.isEmpty())
                record->displayName += QStringLiteral(", ");
            record->displayName += volumes;
            for (const platform::VolumeInfo& volume : entry.disk->volumes)
                record->volumeReference =
                    volume.devicePath.isEmpty() ? volume.name : volume.devicePath;
        }
    }
    table.publishNames(list);
}

using ScanText = std::function<QString(const QString& key)>;

// The disk's record, new or found, with what the scan read of it; its row shows the disk.
RecordPtr showDisk(DeviceTable& table, DeviceListModel& list, const platform::DiskInfo& disk,
                   std::uint32_t number, const ScanText& text) {
    const auto size = static_cast<std::int64_t>(disk.sizeBytes);
    const RowDisk shown = rowDiskOf(disk, text(QStringLiteral("N/A")));
    // A disk without a readable size gets no report size, never the previous disk's.
    const QString reportSize = disk.hasMedium ? formatGigabytesText(size) : QString();

    RecordPtr record = recordOf(table, number, disk.identity.path);
    if (!record)
        record =
            addRow(table, list, number, disk.identity.path,
                   number == kUnknownDeviceNumber ? text(QStringLiteral("status_no_disk_number"))
                                                  : QString());
    if (!record)
        return nullptr;
    record->stale.store(false);
    {
        auto guard = table.lockByPolling();
        record->devicePath = disk.identity.path;
        record->serialText = disk.serial;
        record->busText = disk.bus;
        record->mediumType = disk.mediumType;
        record->vendorText = disk.vendor;
        record->productText = disk.product;
        record->sizeGigabytesText = reportSize;
        record->hasMedium = disk.hasMedium;
        record->sizeBytes = disk.hasMedium ? disk.sizeBytes : 0;
    }
    const int row = record->rowIndex.load();
    list.setDevicePath(row, shown.path);
    list.setCellText(row, DeviceListModel::DeviceColumn, shown.device);
    list.setCellText(row, DeviceListModel::SizeColumn, shown.size);
    return record;
}

// The records of disks the scan no longer found go, and their numbers once free.
void dropGoneDisks(DeviceTable& table, DeviceListModel& list,
                   const std::set<std::int32_t>& acquired) {
    std::vector<RecordPtr> removed;
    for (const RecordPtr& record : table.records())
        if (record->stale.load())
            removed.push_back(record);
    table.removeStale(list);
    releaseNumbers(table, removed, acquired);
}

} // namespace

RowDisk rowDiskOf(const platform::DiskInfo& disk, const QString& noMediumText) {
    const auto size = static_cast<std::int64_t>(disk.sizeBytes);
    return {deviceText(disk.vendor, disk.product),
            disk.hasMedium ? formatSizeText(size) : noMediumText, volumesText(disk.volumes),
            disk.identity.path};
}

QString formatSizeText(std::int64_t bytes) {
    static const char* const units[] = {"%.2f B", "%.2f KB", "%.2f MB", "%.2f GB"};
    float value = static_cast<float>(bytes);
    for (const char* unit : units) {
        if (value < 1000.0f)
            return QString::asprintf(unit, static_cast<double>(value));
        value = value / 1024.0f;
    }
    return QString::asprintf("%.2f TB", static_cast<double>(value));
}

QString formatGigabytesText(std::int64_t bytes) {
    const float gigabytes = static_cast<float>(bytes) * 9.313225746154785e-10f;
    return QString::asprintf("%.2f", static_cast<double>(gigabytes));
}

QString volumeDisplayText(const platform::VolumeInfo& volume) {
    // A mount point or a file name can carry line breaks or direction overrides too.
    const QString where =
        platform::cleanDisplayText(volume.mountPoint.isEmpty() ? volume.name : volume.mountPoint);
    const QString label = platform::cleanDisplayText(volume.label);
    if (label.isEmpty())
        return QStringLiteral("(%1)").arg(where);
    return QStringLiteral("%1 (%2)").arg(label, where);
}

int scanDevices(DeviceTable& table, DeviceListModel& list, DeviceScanNotifier& notifier) {
    return scanDevices(table, list, notifier, {});
}

int scanDevices(DeviceTable& table, DeviceListModel& list, DeviceScanNotifier& notifier,
                const DeviceScanSources& sources) {
    std::unique_ptr<platform::DiskEnumerator> ownEnumerator;
    const platform::DiskEnumerator* enumerator = sources.enumerator;
    if (!enumerator) {
        ownEnumerator = platform::createDiskEnumerator();
        enumerator = ownEnumerator.get();
    }
    const ScanText text = [&](const QString& key) {
        return sources.text ? sources.text(key) : GetLanguageManager()->GetString(key);
    };

    const std::optional<std::vector<platform::DiskInfo>> enumerated = enumerator->enumerate();
    if (!enumerated) {
        // Not "no disks": no row goes and no job is aborted; the next event tries again.
        std::printf("scanDevices: the disks could not be read; the list stays as it is\n");
        std::fflush(stdout);
        return 0;
    }
    const std::vector<platform::DiskInfo>& disks = *enumerated;
    table.markAllStale();

    std::vector<SeenDisk> seen;
    std::set<std::int32_t> acquired;
    for (const platform::DiskInfo& disk : disks) {
        KestruneDiskIdentity identity;
        if (!toIdentity(disk.identity, identity))
            continue;
        const std::int32_t acquiredNumber = kestrune_disk_number_acquire(&identity);
        const std::uint32_t number =
            acquiredNumber < 0 ? kUnknownDeviceNumber : static_cast<std::uint32_t>(acquiredNumber);
        if (acquiredNumber >= 0)
            acquired.insert(acquiredNumber);

        const RecordPtr record = showDisk(table, list, disk, number, text);
        if (!record)
            continue;
        seen.push_back({record, &disk});
    }

    dropGoneDisks(table, list, acquired);
    assignDriveLetters(table, list, seen);

    if (list.rowCount() == 0) {
        notifier.deviceListEmpty();
    } else {
        list.autoSizeColumn(DeviceListModel::NameColumn);
        list.autoSizeColumn(DeviceListModel::DeviceColumn);
        notifier.deviceListFilled();
    }
    return static_cast<int>(disks.size());
}

} // namespace kestrune
