#include "platform/SystemLog.h"

#include <cstdio>
#include <mutex>
#include <syslog.h>

namespace kestrune::platform {

void LogWarning(const QString& text) {
    static std::once_flag opened;
    std::call_once(opened, [] { ::openlog("kestrune", LOG_PID, LOG_USER); });
    const QByteArray utf8 = text.toUtf8();
    std::fprintf(stderr, "%s\n", utf8.constData());
    std::fflush(stderr);
    ::syslog(LOG_WARNING, "%s", utf8.constData());
}

} // namespace kestrune::platform
