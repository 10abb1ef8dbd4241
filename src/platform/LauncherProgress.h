#pragma once

#include <QString>
#include <memory>

namespace kestrune::platform {

// The progress the program's launcher (dock, task manager entry) shows.
class LauncherProgress {
public:
    virtual ~LauncherProgress() = default;
    // progress from 0 to 1; hidden when visible is false.
    virtual void show(double progress, bool visible) = 0;
};

// Announced on the user's session bus for the desktop entry desktopId ("name" of
// "name.desktop"), where docks and task managers listen.
std::unique_ptr<LauncherProgress> sessionLauncherProgress(const QString& desktopId);

} // namespace kestrune::platform
