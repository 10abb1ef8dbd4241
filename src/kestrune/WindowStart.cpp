#include "kestrune/WindowStart.h"

#include "platform/TraceLines.h"

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QtGlobal>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace kestrune {
namespace {

QtMessageHandler previousHandler = nullptr;
QStringList platformWarnings;

void sayNoDisplay(const char* reason) {
    std::fprintf(stderr,
                 "Kestrune: there is no display to show the window on (%s).\n"
                 "kestrune-cli erases from a terminal: \"kestrune-cli list\" shows the disks, "
                 "\"kestrune-cli shred DISK\" erases one (see man kestrune-cli).\n",
                 reason);
    std::fflush(stderr);
}

// Qt ends a start without a platform plugin with a fatal message, that is an abort and a
// core dump; its plugin's own warning says why.
void startMessages(QtMsgType type, const QMessageLogContext& context, const QString& message) {
    const bool platformPlugin =
        context.category && std::strncmp(context.category, "qt.qpa", 6) == 0;
    if (type == QtFatalMsg && message.contains(QLatin1String("platform plugin"))) {
        sayNoDisplay(platformWarnings.isEmpty()
                         ? "the platform plugin could not start"
                         : platformWarnings.first().toLocal8Bit().constData());
        std::fflush(stdout);
        std::_Exit(1);
    }
    if (platformPlugin && type >= QtWarningMsg) {
        platformWarnings << message;
        return;
    }
    if (previousHandler)
        previousHandler(type, context, message);
}

} // namespace

bool TakeTraceSwitch(int& argc, char** argv) {
    bool found = false;
    int kept = 1;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--trace") == 0)
            found = true;
        else
            argv[kept++] = argv[i];
    }
    argc = kept;
    argv[argc] = nullptr;
    return found;
}

void KeepTraceLines(bool wanted) {
    if (wanted)
        return;
    // The window writes nothing else to standard output: the stream that still reaches it
    // is not needed.
    if (std::FILE* output = platform::divertTraceLines(false); output && output != stdout)
        std::fclose(output);
}

bool DisplayAvailable() {
    // A platform named outright (offscreen for tests and pictures, or one of the desktop's)
    // says for itself whether it can start.
    if (!qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        return true;
#ifdef Q_OS_WIN
    // A program started in a Windows session always has that session's desktop.
    return true;
#else
    if (!qEnvironmentVariableIsEmpty("DISPLAY") || !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY"))
        return true;
    sayNoDisplay("neither DISPLAY nor WAYLAND_DISPLAY is set");
    return false;
#endif
}

void ExpectWindowToolkitStart() {
    previousHandler = qInstallMessageHandler(startMessages);
}

void WindowToolkitStarted() {
    qInstallMessageHandler(previousHandler);
    // A plugin that warned and still started: its warnings are said after all.
    for (const QString& warning : std::as_const(platformWarnings))
        std::fprintf(stderr, "%s\n", warning.toLocal8Bit().constData());
    platformWarnings.clear();
}

} // namespace kestrune
