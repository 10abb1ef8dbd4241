#pragma once

#include "cli/DiskScan.h"

#include <QJsonDocument>
#include <QStringList>

namespace kestrune::cli {

// The disks as one JSON document: {"disks": [...]}, each with the window's texts and what
// the enumeration read.
QJsonDocument disksAsJson(const std::vector<ScannedDisk>& disks);
// The disks as a table with a heading, one line each; what the Disk column says is what
// shred takes.
QStringList disksAsTable(const std::vector<ScannedDisk>& disks);

} // namespace kestrune::cli
