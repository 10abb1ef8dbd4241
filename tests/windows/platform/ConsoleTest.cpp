// The console against a call table that answers as Windows documents it, and what Wine does
// with standard output's descriptor and control events.
#include "platform/Terminal.h"
#include "platform/TerminationSignals.h"
#include "platform/TraceLines.h"
#include "platform/windows/ConsoleCalls.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QEventLoop>
#include <QFile>
#include <QTemporaryDir>
#include <csignal>
#include <fcntl.h>
#include <io.h>
#include <string>
#include <thread>
#include <vector>

using namespace kestrune::platform;

namespace {

struct Console {
    DWORD fileType = FILE_TYPE_CHAR;
    bool hasMode = true;
    bool isOutput = true;
    DWORD mode = ENABLE_PROCESSED_OUTPUT;
    DWORD modeSet = 0;
    std::u16string typed; // what ReadConsoleW hands out
    std::string piped;    // what ReadFile hands out
    PHANDLER_ROUTINE handler = nullptr;
    std::vector<std::string> log;
} console;

const HANDLE kHandle = reinterpret_cast<HANDLE>(0x40);

const ConsoleCalls kConsoleCalls{
    [](DWORD) { return kHandle; },
    [](DWORD, HANDLE) -> WINBOOL { return TRUE; },
    [](HANDLE) { return console.fileType; },
    [](HANDLE, LPDWORD mode) -> WINBOOL { return *mode = console.mode, console.hasMode; },
    [](HANDLE, DWORD mode) -> WINBOOL { return console.modeSet = mode, TRUE; },
    [](HANDLE, PCONSOLE_SCREEN_BUFFER_INFO info) -> WINBOOL {
        info->dwSize = {300, 9000};
        info->srWindow = {10, 8000, 129, 8030}; // scrolled to the right
        return console.isOutput;
    },
    [](HANDLE, LPVOID unit, DWORD, LPDWORD read, LPVOID) -> WINBOOL {
        *read = console.typed.empty() ? 0 : 1;
        if (*read) {
            *static_cast<wchar_t*>(unit) = console.typed.front();
            console.typed.erase(0, 1);
        }
        return TRUE;
    },
    [](HANDLE, LPVOID byte, DWORD, LPDWORD read, LPOVERLAPPED) -> WINBOOL {
        if (console.piped.empty())
            return *read = 0, FALSE; // ERROR_BROKEN_PIPE: the writer closed its end
        *static_cast<char*>(byte) = console.piped.front();
        console.piped.erase(0, 1);
        return *read = 1, TRUE;
    },
    [](PHANDLER_ROUTINE handler, WINBOOL add) -> WINBOOL {
        console.log.push_back(add ? "add" : "remove");
        console.handler = handler;
        return TRUE;
    },
    [](DWORD milliseconds) { console.log.push_back("sleep " + std::to_string(milliseconds)); },
    []() -> DWORD { return 0; },
};

} // namespace

TEST(Console, TerminalOnlyWhereTheConsoleSaysSo) {
    struct Case {
        const char* what;
        DWORD fileType;
        bool hasMode, isOutput;
        DWORD mode, modeSet; // the mode it has, and the one it is given
    };
    constexpr DWORD vt = ENABLE_VIRTUAL_TERMINAL_PROCESSING;
    const Case cases[] = {
        {"a file", FILE_TYPE_DISK, false, false, 0, 0},
        {"the NUL device", FILE_TYPE_CHAR, false, false, 0, 0},
        {"console input", FILE_TYPE_CHAR, true, false, ENABLE_LINE_INPUT, 0},
        {"console output", FILE_TYPE_CHAR, true, true, ENABLE_PROCESSED_OUTPUT,
         ENABLE_PROCESSED_OUTPUT | vt},
        {"a console with control sequences", FILE_TYPE_CHAR, true, true, vt, 0},
    };
    for (const Case& c : cases) {
        console = {c.fileType, c.hasMode, c.isOutput, c.mode};
        EXPECT_EQ(isConsole(kConsoleCalls, kHandle), c.hasMode) << c.what;
        EXPECT_EQ(console.modeSet, c.modeSet) << c.what;
        EXPECT_EQ(consoleColumns(kConsoleCalls, kHandle), c.isOutput ? 120 : 0) << c.what;
    }
}

TEST(Console, LinesTypedAsUtf16OrPipedAsUtf8) {
    console = {};
    console.typed = u"Zwölf \U0001F4BE\r\n\r\nlast";
    EXPECT_EQ(readLine(kConsoleCalls, kHandle), QStringLiteral("Zwölf \U0001F4BE"));
    EXPECT_EQ(readLine(kConsoleCalls, kHandle), QString());
    EXPECT_EQ(readLine(kConsoleCalls, kHandle), QStringLiteral("last"));
    EXPECT_EQ(readLine(kConsoleCalls, kHandle), std::nullopt);
    console.typed = u"\x1a\r\nyes\r\n"; // Ctrl+Z, Enter: the input ends
    EXPECT_EQ(readLine(kConsoleCalls, kHandle), std::nullopt);

    console = {FILE_TYPE_PIPE, false};
    console.piped = "Zw\xc3\xb6lf\r\nlast";
    EXPECT_EQ(readLine(kConsoleCalls, kHandle), QStringLiteral("Zwölf"));
    EXPECT_EQ(readLine(kConsoleCalls, kHandle), QStringLiteral("last"));
    EXPECT_EQ(readLine(kConsoleCalls, kHandle), std::nullopt);
}

TEST(Console, WineTraceLinesGoAside) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString path = dir.filePath(QStringLiteral("output.txt"));
    std::fflush(stdout);
    const int saved = ::_dup(1);
    const int file = ::_wopen(reinterpret_cast<const wchar_t*>(path.utf16()),
                              _O_WRONLY | _O_CREAT | _O_BINARY, 0600);
    ASSERT_GE(file, 0);
    ASSERT_EQ(::_dup2(file, 1), 0);
    ::_close(file);
    std::FILE* output = divertTraceLines(false);
    ASSERT_NE(output, stdout);
    std::printf("a trace line\n");
    std::fflush(stdout);
    std::fputs("the result\n", output);
    std::fclose(output);
    ::_dup2(saved, 1);
    ::_close(saved);
    QFile written(path);
    ASSERT_TRUE(written.open(QIODevice::ReadOnly));
    EXPECT_EQ(written.readAll(), QByteArray("the result\n"));
}

TEST(TerminationSignals, ControlEventsArriveOnTheOwnersThread) {
    console = {};
    std::vector<int> received;
    {
        ConsoleCallsScope scope(kConsoleCalls);
        TerminationSignals termination;
        ASSERT_TRUE(termination.isActive());
        QObject::connect(&termination, &TerminationSignals::terminationRequested,
                         [&](int number) { received.push_back(number); });
        std::vector<BOOL> handled;
        // Each on a thread of its own, as the system calls the handler.
        for (DWORD event :
             std::initializer_list<DWORD>{CTRL_C_EVENT, CTRL_BREAK_EVENT, CTRL_CLOSE_EVENT,
                                          CTRL_LOGOFF_EVENT, CTRL_SHUTDOWN_EVENT, 77})
            std::thread([&] { handled.push_back(console.handler(event)); }).join();
        EXPECT_TRUE(received.empty()); // not on the system's threads
        QCoreApplication::sendPostedEvents();
        EXPECT_EQ(handled, (std::vector<BOOL>{TRUE, TRUE, TRUE, TRUE, TRUE, FALSE}));
    }
    EXPECT_EQ(received, (std::vector<int>{SIGINT, SIGBREAK, SIGTERM, SIGTERM, SIGTERM}));
    // The close events wait for the program's own end; the handler goes with the object.
    EXPECT_EQ(console.log, (std::vector<std::string>{"add", "sleep 4294967295", "sleep 4294967295",
                                                     "sleep 4294967295", "remove"}));
    EXPECT_FALSE(console.handler(CTRL_C_EVENT));
}

TEST(TerminationSignals, WineDeliversCtrlCToTheHandler) {
    TerminationSignals termination;
    int received = 0;
    QEventLoop loop;
    QObject::connect(&termination, &TerminationSignals::terminationRequested, [&](int number) {
        received = number;
        loop.quit();
    });
    if (!::GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0)) // none without a console, as under ctest
        GTEST_SKIP() << "no console to send Ctrl+C in (error " << ::GetLastError() << ")";
    loop.exec();
    EXPECT_EQ(received, SIGINT);
}
