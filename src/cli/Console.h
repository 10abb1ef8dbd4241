#pragma once

#include <QJsonDocument>
#include <QString>
#include <QStringList>
#include <QStringView>
#include <cstdio>
#include <mutex>
#include <optional>

namespace kestrune::cli {

// The text as the terminal may see it: nothing a disk, a file name or the user names can move
// the cursor, recolour the screen or reorder what is read. A backslash is doubled, so that
// what follows stays unambiguous; C0 controls and DEL show as \xHH, C1 controls, direction
// marks and unpaired surrogates as \uHHHH. The line feed stays with Keep: the program's own
// messages span lines.
enum class LineBreaks { Escape, Keep };
QString terminalSafe(QStringView text, LineBreaks breaks = LineBreaks::Escape);

// The document as its indented text, with the characters the JSON writer leaves as they are
// (DEL, C1 controls, direction marks) escaped by the JSON rules instead.
QByteArray terminalSafeJson(const QJsonDocument& document);

// The two outputs of the terminal program, for any thread. Its own output goes to the given
// stream (where standard output went before the trace lines were moved aside), messages to
// standard error. Every text passes terminalSafe on its way out. On a terminal, a live block of
// lines at the end of the output is redrawn in place, and a message printed meanwhile appears above
// it.
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
    // One line of output.
    void print(const QString& line);
    // A document on the output, its own lines and all.
    void printJson(const QJsonDocument& document);
    // One message on standard error; its own line breaks are kept.
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
