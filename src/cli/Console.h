#pragma once

#include <QString>
#include <QStringList>
#include <cstdio>
#include <mutex>
#include <optional>

namespace kestrune::cli {

// The two outputs of the terminal program, for any thread. Its own output goes to the given
// stream (where standard output went before the trace lines were moved aside), messages to
// standard error. On a terminal, a live block of lines at the end of the output is redrawn
// in place, and a message printed meanwhile appears above it.
class Console {
public:
    struct Setup {
        std::FILE* output = stdout;
        std::FILE* errors = stderr;
        bool outputIsTerminal = false;
        bool errorsAreTerminal = false;
    };
    explicit Console(const Setup& setup);

    bool outputIsTerminal() const { return setup_.outputIsTerminal; }
    // One line (or several) of output.
    void print(const QString& text);
    // One message on standard error.
    void message(const QString& text);
    // Replaces the live block; on an output that is no terminal it prints nothing.
    void showLive(const QStringList& lines);
    // The live block stays as it was last drawn; what follows goes below it.
    void keepLive();
    // Shows the question on standard error and waits for a line of standard input.
    std::optional<QString> ask(const QString& question);

private:
    void eraseLive();
    void drawLive();
    static QString fitted(const QString& line, int columns);

    Setup setup_;
    std::mutex mutex_;
    QStringList live_;
    int drawn_ = 0;
};

} // namespace kestrune::cli
