#pragma once

#include <QProcessEnvironment>
#include <QString>
#include <QStringList>
#include <optional>

namespace kestrune::update {

// Runs the component's own dialog modally: what is installed, what is offered, the release
// notes, and the download. 1 only when an installer took the package and installed it, so
// the program must close; KESTRUNE_UPDATE_NOT_VERIFIED when the feed or the package failed
// a check (the dialog then closes at once); else 0.
int runUpdateDialog(const QString& productName, const QString& programVersion);

// The installer program: the installed one beside the installed component, else the one
// beside the component's own file. Empty when the component's file is unknown.
QString installerProgram();

// The command that has our installer check a downloaded package against the signed feed
// saved beside it and install it, or an empty list with the reason (only Debian packages
// have an installer on Linux, only MSIs on Windows). Not root, it goes through pkexec, which
// asks for the right to install; root runs it directly, only when nobody else could have
// changed it. On Windows the program runs elevated and starts it directly.
QStringList installerCommand(const QString& feedPath, const QString& packagePath, QString* error);

// Opens a downloaded package with the desktop's handler for it (on Windows, the folder
// that holds it: the program runs elevated, and a package is installed only by our installer).
bool openPackage(const QString& path);

// The environment the installer runs with; none: the caller's.
std::optional<QProcessEnvironment> installerEnvironment();

} // namespace kestrune::update
