#pragma once

#include <QList>
#include <QString>

namespace kestrune::platform {

struct LibraryVersion {
    QString name;
    QString version; // empty: the library does not say
};

// The system's libraries the program reaches its disks, volumes and time-stamp service
// through, with the versions loaded in this process where they tell them.
QList<LibraryVersion> SystemLibraryVersions();

} // namespace kestrune::platform
