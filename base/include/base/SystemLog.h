#pragma once

#include <string>

namespace kestrune::platform {

// A problem the administrator must hear of even when nobody reads the terminal: written to
// standard error and to the system log (as "kestrune"). Kept free of the toolkit: the
// components log through it too.
void LogWarning(const std::string& text);

} // namespace kestrune::platform
