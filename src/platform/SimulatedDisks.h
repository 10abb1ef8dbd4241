#pragma once

#include "platform/DiskEnumerator.h"

#include <QByteArray>
#include <QString>
#include <cstdint>

namespace kestrune::platform {

// One image file of the simulated folder, as the system describes it. Each system decides
// which files may stand for a disk at all (regular, one name, not a link).
struct ImageFile {
    QByteArray fileName;        // as the folder stores it
    QString path;               // the file as the program names it
    QByteArray nativePath;      // its own bytes when they are not valid UTF-8
    QString canonicalPath;      // links resolved; empty when it cannot be resolved
    std::uint64_t volumeId = 0; // the file system it lies on
    std::uint64_t fileId = 0;   // the file within that file system
    std::uint64_t size = 0;
    bool readOnly = false;
};

// "stick.img" stands for a disk; "stick.IMG", "stick.img.txt" and ".img" do not.
bool isSimulatedImageName(const QByteArray& fileName);
// The disk's name: the file name without ".img", safe to show.
QString simulatedDiskName(const QByteArray& fileName);
// What every simulated disk says of itself, whatever carries it (the file, a loop device).
void describeSimulatedStick(DiskInfo& disk, const QString& name);
// The disk an image file that is attached to nothing stands for; no volumes yet.
DiskInfo simulatedDiskOf(const ImageFile& image);

} // namespace kestrune::platform
