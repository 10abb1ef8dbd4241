#include "platform/Terminal.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <string>
#include <sys/ioctl.h>
#include <unistd.h>

namespace kestrune::platform {
bool isTerminal(std::FILE* stream) {
    return stream && ::isatty(::fileno(stream)) == 1;
}

int terminalColumns(std::FILE* stream) {
    winsize size{};
    if (!stream || ::ioctl(::fileno(stream), TIOCGWINSZ, &size) != 0)
        return 0;
    return size.ws_col;
}

std::optional<QString> readInputLine() {
    std::string line;
    bool any = false;
    for (;;) {
        char c = 0;
        const ssize_t n = ::read(STDIN_FILENO, &c, 1);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        any = true;
        if (c == '\n')
            return QString::fromLocal8Bit(line);
        line += c;
    }
    if (!any)
        return std::nullopt;
    return QString::fromLocal8Bit(line);
}

void ignoreClosedOutput() {
    std::signal(SIGPIPE, SIG_IGN);
}

} // namespace kestrune::platform
