#include "platform/SimulatedDisks.h"

namespace kestrune::platform {

bool isSimulatedImageName(const QByteArray& fileName) {
    return fileName.size() > 4 && fileName.endsWith(".img");
}

QString simulatedDiskName(const QByteArray& fileName) {
    return cleanDeviceText(fileName.chopped(4));
}

void describeSimulatedStick(DiskInfo& disk, const QString& name) {
    disk.vendor = QStringLiteral("Kestrune");
    disk.product = QStringLiteral("Virtual Stick");
    disk.serial = name;
    disk.bus = QStringLiteral("USB");
    // Listed like a stick, but no document may call it one.
    disk.mediumType = MediumType::ImageFile;
}

DiskInfo simulatedDiskOf(const ImageFile& image) {
    DiskInfo disk;
    disk.name = simulatedDiskName(image.fileName);
    disk.identity.path = image.path;
    disk.identity.nativePath = image.nativePath;
    disk.identity.devt = image.volumeId;
    disk.identity.diskseq = image.fileId;
    disk.identity.simulated = true;
    disk.imageFile = image.canonicalPath;
    describeSimulatedStick(disk, disk.name);
    disk.sizeBytes = image.size;
    disk.hasMedium = image.size > 0;
    disk.readOnly = image.readOnly;
    return disk;
}

} // namespace kestrune::platform
