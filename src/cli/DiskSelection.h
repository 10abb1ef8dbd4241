#pragma once

#include "cli/DiskScan.h"

#include <QStringList>

namespace kestrune::cli {

// A DISK that names no disk the window would offer, and why, in the user's language.
struct DiskRefusal {
    QString argument;
    QString text;
};

struct DiskSelection {
    // Each disk once, in the order first named.
    std::vector<const ScannedDisk*> disks;
    std::vector<DiskRefusal> refusals;
};

// Matches each DISK (a device path or a link to one, a serial number, the image file of a
// simulated disk) against the scan's disks; a DISK that matches none is refused with what
// the enumeration's rules say of it, and so is a disk without a medium.
DiskSelection selectDisks(const std::vector<ScannedDisk>& disks, const QStringList& arguments);

} // namespace kestrune::cli
