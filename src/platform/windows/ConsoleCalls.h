// The Win32 calls behind the terminal on Windows: the console, its control events and the
// standard handles. The program takes the system's own table; tests hand in others.
#pragma once

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <QString>
#include <optional>

namespace kestrune::platform {

struct ConsoleCalls {
    decltype(&::GetStdHandle) getStdHandle;
    decltype(&::SetStdHandle) setStdHandle;
    decltype(&::GetFileType) getFileType;
    decltype(&::GetConsoleMode) getConsoleMode;
    decltype(&::SetConsoleMode) setConsoleMode;
    decltype(&::GetConsoleScreenBufferInfo) getScreenBufferInfo;
    decltype(&::ReadConsoleW) readConsole;
    decltype(&::ReadFile) readFile;
    decltype(&::SetConsoleCtrlHandler) setCtrlHandler;
    decltype(&::Sleep) sleep;
    decltype(&::GetLastError) getLastError;
};
const ConsoleCalls& systemConsoleCalls();

// A console, not a file, a pipe or the NUL device (a character device too). An output
// console learns to take the terminal's control sequences where it can.
bool isConsole(const ConsoleCalls& calls, HANDLE handle);
// The width of the console's window in columns; 0 for anything else.
int consoleColumns(const ConsoleCalls& calls, HANDLE handle);
// One line from the handle without its line end (CR LF or LF): typed into a console as
// UTF-16, or read as UTF-8 from a pipe or file. Nothing once the input has ended; in a
// console that is also a line that starts with Ctrl+Z.
std::optional<QString> readLine(const ConsoleCalls& calls, HANDLE handle);

// The calls TerminationSignals takes while the scope lives, for tests.
class ConsoleCallsScope {
public:
    explicit ConsoleCallsScope(const ConsoleCalls& calls);
    ~ConsoleCallsScope();
    ConsoleCallsScope(const ConsoleCallsScope&) = delete;
    ConsoleCallsScope& operator=(const ConsoleCallsScope&) = delete;

private:
    const ConsoleCalls* previous_;
};

// The number terminationRequested carries for a console control event; 0 for none we take.
// Ctrl+C and Ctrl+Break carry the C runtime's SIGINT and SIGBREAK; closing the console,
// logging off and shutting down ask the program to end, as SIGTERM.
int signalOfConsoleEvent(DWORD event);

} // namespace kestrune::platform
