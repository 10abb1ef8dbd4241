#include "cli/DiskListing.h"

#include "cli/CliText.h"
#include "devices/DeviceRecord.h"

#include <QJsonArray>
#include <QJsonObject>

namespace kestrune::cli {
namespace {

QJsonObject volumeAsJson(const platform::VolumeInfo& volume) {
    QJsonObject object;
    object[QStringLiteral("name")] = volume.name;
    object[QStringLiteral("device")] = volume.devicePath;
    object[QStringLiteral("label")] = volume.label;
    object[QStringLiteral("mountPoint")] = volume.mountPoint;
    object[QStringLiteral("type")] = volume.fsType;
    return object;
}

QString padded(const QString& text, qsizetype width) {
    return text + QString(std::max<qsizetype>(0, width - text.size()), u' ');
}

} // namespace

QJsonDocument disksAsJson(const std::vector<ScannedDisk>& disks) {
    QJsonArray list;
    for (const ScannedDisk& disk : disks) {
        const DeviceRecord& record = *disk.record;
        QJsonObject object;
        // A disk beyond the numbers the program hands out has none: null, so that a consumer
        // never takes the placeholder for a number.
        object[QStringLiteral("number")] =
            record.deviceNumber == kUnknownDeviceNumber
                ? QJsonValue(QJsonValue::Null)
                : QJsonValue(static_cast<qint64>(record.deviceNumber));
        object[QStringLiteral("path")] = disk.info.identity.path;
        object[QStringLiteral("simulated")] = disk.info.identity.simulated;
        if (!disk.info.imageFile.isEmpty())
            object[QStringLiteral("image")] = disk.info.imageFile;
        object[QStringLiteral("name")] = disk.nameColumn;
        object[QStringLiteral("device")] = disk.deviceColumn;
        object[QStringLiteral("vendor")] = record.vendorText;
        object[QStringLiteral("product")] = record.productText;
        object[QStringLiteral("serial")] = record.serialText;
        object[QStringLiteral("bus")] = record.busText;
        object[QStringLiteral("size")] = disk.sizeColumn;
        object[QStringLiteral("sizeBytes")] = static_cast<qint64>(record.sizeBytes);
        object[QStringLiteral("hasMedium")] = record.hasMedium.load();
        object[QStringLiteral("readOnly")] = disk.info.readOnly;
        QJsonArray volumes;
        for (const platform::VolumeInfo& volume : disk.info.volumes)
            volumes.append(volumeAsJson(volume));
        object[QStringLiteral("volumes")] = volumes;
        list.append(object);
    }
    QJsonObject root;
    root[QStringLiteral("disks")] = list;
    return QJsonDocument(root);
}

QStringList disksAsTable(const std::vector<ScannedDisk>& disks) {
    std::vector<QStringList> rows;
    rows.push_back({cliText("cli_column_disk"), cliText("column_device"),
                    cliText("cli_column_serial"), cliText("column_size"), cliText("column_name")});
    for (const ScannedDisk& disk : disks)
        rows.push_back({disk.info.identity.path, disk.deviceColumn, disk.record->serialText,
                        disk.sizeColumn, disk.nameColumn});
    std::vector<qsizetype> widths(rows.front().size(), 0);
    for (const QStringList& row : rows)
        for (qsizetype column = 0; column < row.size(); ++column)
            widths[column] = std::max(widths[column], row[column].size());
    QStringList lines;
    for (const QStringList& row : rows) {
        QString line;
        for (qsizetype column = 0; column + 1 < row.size(); ++column)
            line += padded(row[column], widths[column]) + QStringLiteral("  ");
        lines << (line + row.back()).trimmed();
    }
    return lines;
}

} // namespace kestrune::cli
