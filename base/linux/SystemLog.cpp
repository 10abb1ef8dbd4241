#include "base/SystemLog.h"

#include <cstdio>
#include <mutex>
#include <syslog.h>

namespace kestrune::platform {

void LogWarning(const std::string& text) {
    static std::once_flag opened;
    std::call_once(opened, [] { ::openlog("kestrune", LOG_PID, LOG_USER); });
    std::fprintf(stderr, "%s\n", text.c_str());
    std::fflush(stderr);
    ::syslog(LOG_WARNING, "%s", text.c_str());
}

} // namespace kestrune::platform
