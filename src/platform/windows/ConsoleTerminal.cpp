#include "platform/Terminal.h"
#include "platform/windows/ConsoleCalls.h"

#include <cstdlib>
#include <io.h>
#include <string>

namespace kestrune::platform {
namespace {

constexpr wchar_t kEndOfInput = 0x1a; // Ctrl+Z, the console's end of input

HANDLE handleOf(std::FILE* stream) {
    const int descriptor = stream ? ::_fileno(stream) : -1;
    return descriptor < 0 ? INVALID_HANDLE_VALUE
                          : reinterpret_cast<HANDLE>(::_get_osfhandle(descriptor));
}

bool usable(HANDLE handle) {
    return handle != INVALID_HANDLE_VALUE && handle != nullptr;
}

std::optional<QString> readConsoleLine(const ConsoleCalls& calls, HANDLE handle) {
    std::u16string line;
    for (;;) {
        // One unit at a time: nothing of the next line is taken from the console.
        wchar_t unit = 0;
        DWORD read = 0;
        // Ctrl+C ends a read with nothing read: the input ends here, the handler says why.
        if (!calls.readConsole(handle, &unit, 1, &read, nullptr) || read == 0)
            break;
        if (unit == L'\n') {
            if (!line.empty() && line.back() == u'\r')
                line.pop_back();
            return line.empty() || line.front() != kEndOfInput ? QString::fromStdU16String(line)
                                                               : std::optional<QString>();
        }
        line += static_cast<char16_t>(unit);
    }
    if (line.empty() || line.front() == kEndOfInput)
        return std::nullopt;
    return QString::fromStdU16String(line);
}

// Pipes and files carry UTF-8, what programs feeding a pipe write nowadays.
std::optional<QString> readByteLine(const ConsoleCalls& calls, HANDLE handle) {
    std::string line;
    bool any = false;
    for (;;) {
        // One byte at a time: what follows the line stays for the next reader.
        char byte = 0;
        DWORD read = 0;
        if (!calls.readFile(handle, &byte, 1, &read, nullptr) || read == 0)
            break; // ERROR_BROKEN_PIPE is a pipe's end of input
        any = true;
        if (byte == '\n')
            break;
        line += byte;
    }
    if (!any)
        return std::nullopt;
    if (!line.empty() && line.back() == '\r')
        line.pop_back();
    return QString::fromUtf8(line);
}

// What happens where the program's reader went away: the C runtime's checks end the program
// at a write to a closed descriptor unless a handler says to go on; the write fails instead.
void ignoreInvalidParameter(const wchar_t*, const wchar_t*, const wchar_t*, unsigned int,
                            uintptr_t) {}

} // namespace

const ConsoleCalls& systemConsoleCalls() {
    static const ConsoleCalls calls{
        &::GetStdHandle,   &::SetStdHandle,   &::GetFileType,
        &::GetConsoleMode, &::SetConsoleMode, &::GetConsoleScreenBufferInfo,
        &::ReadConsoleW,   &::ReadFile,       &::SetConsoleCtrlHandler,
        &::Sleep,          &::GetLastError,
    };
    return calls;
}

bool isConsole(const ConsoleCalls& calls, HANDLE handle) {
    DWORD mode = 0;
    // NUL is a character device as well, but has no console mode.
    if (!usable(handle) || calls.getFileType(handle) != FILE_TYPE_CHAR ||
        !calls.getConsoleMode(handle, &mode))
        return false;
    CONSOLE_SCREEN_BUFFER_INFO info{};
    if (calls.getScreenBufferInfo(handle, &info) &&
        (mode & ENABLE_VIRTUAL_TERMINAL_PROCESSING) == 0)
        // The live lines are redrawn with control sequences; an older console that refuses
        // them prints them as they come.
        calls.setConsoleMode(handle, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING);
    return true;
}

int consoleColumns(const ConsoleCalls& calls, HANDLE handle) {
    CONSOLE_SCREEN_BUFFER_INFO info{};
    if (!usable(handle) || !calls.getScreenBufferInfo(handle, &info))
        return 0;
    // The visible window, not the buffer, which may be far wider.
    return std::max(0, info.srWindow.Right - info.srWindow.Left + 1);
}

std::optional<QString> readLine(const ConsoleCalls& calls, HANDLE handle) {
    if (!usable(handle))
        return std::nullopt;
    DWORD mode = 0;
    if (calls.getFileType(handle) == FILE_TYPE_CHAR && calls.getConsoleMode(handle, &mode))
        return readConsoleLine(calls, handle);
    return readByteLine(calls, handle);
}

bool isTerminal(std::FILE* stream) {
    return isConsole(systemConsoleCalls(), handleOf(stream));
}

int terminalColumns(std::FILE* stream) {
    return consoleColumns(systemConsoleCalls(), handleOf(stream));
}

std::optional<QString> readInputLine() {
    const ConsoleCalls& calls = systemConsoleCalls();
    return readLine(calls, calls.getStdHandle(STD_INPUT_HANDLE));
}

void ignoreClosedOutput() {
    // A reader that went away makes writes fail with EPIPE, never a signal; a console that
    // went away leaves descriptors the runtime checks, and its handler decides.
    ::_set_invalid_parameter_handler(ignoreInvalidParameter);
}

} // namespace kestrune::platform
