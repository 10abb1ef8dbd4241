#include "cli/Console.h"

#include "platform/Terminal.h"

namespace kestrune::cli {
namespace {

void write(std::FILE* stream, const QString& text) {
    const QByteArray bytes = text.toLocal8Bit();
    std::fwrite(bytes.constData(), 1, static_cast<std::size_t>(bytes.size()), stream);
}

} // namespace

Console::Console(const Setup& setup) : setup_(setup) {}

void Console::print(const QString& text) {
    std::lock_guard guard(mutex_);
    write(setup_.output, text + u'\n');
    std::fflush(setup_.output);
}

void Console::message(const QString& text) {
    std::lock_guard guard(mutex_);
    // On one terminal the message takes the live block's place, and the block follows it.
    const bool sharesTerminal = drawn_ > 0 && setup_.errorsAreTerminal;
    if (sharesTerminal)
        eraseLive();
    write(setup_.errors, text + u'\n');
    std::fflush(setup_.errors);
    if (sharesTerminal)
        drawLive();
}

void Console::showLive(const QStringList& lines) {
    if (!setup_.outputIsTerminal)
        return;
    std::lock_guard guard(mutex_);
    if (lines == live_ && drawn_ == lines.size())
        return;
    live_ = lines;
    eraseLive();
    drawLive();
}

void Console::keepLive() {
    std::lock_guard guard(mutex_);
    drawn_ = 0;
    live_.clear();
}

std::optional<QString> Console::ask(const QString& question) {
    {
        std::lock_guard guard(mutex_);
        std::fflush(setup_.output);
        write(setup_.errors, question + u' ');
        std::fflush(setup_.errors);
    }
    return platform::readInputLine();
}

// Back to the first line of the block, which is cleared with everything below it.
void Console::eraseLive() {
    if (drawn_ == 0)
        return;
    write(setup_.output, QStringLiteral("\x1b[%1A\r\x1b[J").arg(drawn_));
    std::fflush(setup_.output);
    drawn_ = 0;
}

void Console::drawLive() {
    // Read at every redraw: the terminal may have been resized.
    const int columns = platform::terminalColumns(setup_.output);
    QString text;
    for (const QString& line : live_)
        text += fitted(line, columns) + u'\n';
    write(setup_.output, text);
    std::fflush(setup_.output);
    drawn_ = static_cast<int>(live_.size());
}

// A line that wraps would take two rows and throw the redraw off by one.
QString Console::fitted(const QString& line, int columns) {
    if (columns <= 1 || line.size() < columns)
        return line;
    return line.left(columns - 1);
}

} // namespace kestrune::cli
