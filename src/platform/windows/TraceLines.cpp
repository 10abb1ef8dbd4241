// Descriptor 1 of the C runtime, which the program and its components share, and the
// process's standard output handle, which a component writing through Win32 takes, are both
// moved aside.
#include "platform/TraceLines.h"
#include "platform/windows/ConsoleCalls.h"

#include <fcntl.h>
#include <io.h>

namespace kestrune::platform {

std::FILE* divertTraceLines(bool toStandardError) {
    constexpr int kOutput = 1;
    constexpr int kErrors = 2;
    std::fflush(stdout);
    // A program without a console (the window's) may have no standard output at all.
    const int output = ::_dup(kOutput);
    if (output < 0)
        return stdout;
    const int target = toStandardError ? kErrors : ::_open("NUL", _O_WRONLY | _O_NOINHERIT);
    if (target < 0 || ::_dup2(target, kOutput) != 0) {
        if (target > kErrors)
            ::_close(target);
        ::_close(output);
        return stdout;
    }
    if (target > kErrors)
        ::_close(target);
    systemConsoleCalls().setStdHandle(STD_OUTPUT_HANDLE,
                                      reinterpret_cast<HANDLE>(::_get_osfhandle(kOutput)));
    std::FILE* stream = ::_fdopen(output, "w");
    if (!stream) {
        ::_dup2(output, kOutput);
        systemConsoleCalls().setStdHandle(STD_OUTPUT_HANDLE,
                                          reinterpret_cast<HANDLE>(::_get_osfhandle(kOutput)));
        ::_close(output);
        return stdout;
    }
    return stream;
}

} // namespace kestrune::platform
