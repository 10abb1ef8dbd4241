#include "base/SystemLog.h"

#include <cstdio>
#include <windows.h>

namespace kestrune::platform {

// The event log needs a registered source, which the installer owns; a debugger and the
// console see every warning.
void LogWarning(const std::string& text) {
    std::fprintf(stderr, "%s\n", text.c_str());
    std::fflush(stderr);
    const std::string line = "kestrune: " + text + "\n";
    ::OutputDebugStringA(line.c_str());
}

} // namespace kestrune::platform
