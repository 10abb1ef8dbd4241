#pragma once

#include <QString>
#include <QStringList>

namespace kestrune::update {

// Runs the component's own dialog modally: what is installed, what is offered, the release
// notes, and the download. 1 only when an installer took the package and installed it, so
// the program must close; KESTRUNE_UPDATE_NOT_VERIFIED when the feed or the package failed
// a check (the dialog then closes at once); else 0.
int runUpdateDialog(const QString& productName, const QString& programVersion);

// The command that installs a downloaded package, or an empty list when there is no
// installer for that kind of package (only Debian packages have one). It asks the
// desktop's authentication agent for the right to install, unless the program already
// runs as root for a user.
QStringList installerCommand(const QString& packagePath);

// Opens a downloaded package with the desktop's handler for it.
bool openPackage(const QString& path);

} // namespace kestrune::update
