#pragma once

#include <QString>

namespace kestrune::platform {

// A problem the administrator must hear of even when nobody reads the terminal: written to
// standard error and to the system log.
void LogWarning(const QString& text);

} // namespace kestrune::platform
