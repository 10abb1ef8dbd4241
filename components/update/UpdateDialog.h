#pragma once

#include <QString>

namespace kestrune::update {

// Runs the component's own dialog modally: what is installed, what is offered, the release
// notes, and the download. True when the package was opened for installation, so the
// program must close.
bool runUpdateDialog(const QString& productName, const QString& programVersion);

// Opens a downloaded package with the desktop's handler for it.
bool openPackage(const QString& path);

} // namespace kestrune::update
