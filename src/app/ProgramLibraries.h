#pragma once

#include "platform/SystemLibraries.h"

#include <QList>
#include <QString>

namespace kestrune {

// Every library the program stands on, with the version this process runs with where the
// library tells it: Qt and OpenSSL first, then the system's.
QList<platform::LibraryVersion> ProgramLibraries();

// One line of them: "Qt 6.4.2, OpenSSL 3.0.11, ..., libudev".
QString ProgramLibrariesText();

} // namespace kestrune
