#include "platform/TraceLines.h"

#include <fcntl.h>
#include <unistd.h>

namespace kestrune::platform {

std::FILE* divertTraceLines(bool toStandardError) {
    std::fflush(stdout);
    const int output = ::fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3);
    if (output < 0)
        return stdout;
    const int target = toStandardError ? STDERR_FILENO : ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (target < 0 || ::dup2(target, STDOUT_FILENO) < 0) {
        if (target > STDERR_FILENO)
            ::close(target);
        ::close(output);
        return stdout;
    }
    if (target > STDERR_FILENO)
        ::close(target);
    std::FILE* stream = ::fdopen(output, "w");
    if (!stream) {
        ::dup2(output, STDOUT_FILENO);
        ::close(output);
        return stdout;
    }
    return stream;
}

} // namespace kestrune::platform
