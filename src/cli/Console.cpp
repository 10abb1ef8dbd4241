#include "cli/Console.h"

#include "platform/Terminal.h"

namespace kestrune::cli {
namespace {

void write(std::FILE* stream, const QByteArray& bytes) {
    std::fwrite(bytes.constData(), 1, static_cast<std::size_t>(bytes.size()), stream);
}

void write(std::FILE* stream, const QString& text) {
    write(stream, text.toLocal8Bit());
}

// What a terminal would act on, or would show in another order than it comes.
bool isControl(char32_t c) {
    return c < 0x20 || (c >= 0x7F && c <= 0x9F) || (c >= 0x202A && c <= 0x202E) ||
           (c >= 0x2066 && c <= 0x2069) || c == 0x200E || c == 0x200F || c == 0x061C;
}

QString hex(char32_t c, int digits) {
    return QStringLiteral("%1").arg(static_cast<uint>(c), digits, 16, QLatin1Char('0'));
}

} // namespace

QString terminalSafe(QStringView text, LineBreaks breaks) {
    QString out;
    out.reserve(text.size());
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text[i];
        if (c.isHighSurrogate() && i + 1 < text.size() && text[i + 1].isLowSurrogate()) {
            out += c;
            out += text[++i];
        } else if (c.isSurrogate()) {
            out += QStringLiteral("\\u") + hex(c.unicode(), 4);
        } else if (c == u'\\') {
            out += QStringLiteral("\\\\");
        } else if (c == u'\n' && breaks == LineBreaks::Keep) {
            out += c;
        } else if (c.unicode() < 0x80 && isControl(c.unicode())) {
            out += QStringLiteral("\\x") + hex(c.unicode(), 2);
        } else if (isControl(c.unicode())) {
            out += QStringLiteral("\\u") + hex(c.unicode(), 4);
        } else {
            out += c;
        }
    }
    return out;
}

QByteArray terminalSafeJson(const QJsonDocument& document) {
    // Outside its strings a document is plain ASCII, so every such character is in one.
    const QString text = QString::fromUtf8(document.toJson(QJsonDocument::Indented)).trimmed();
    QString out;
    out.reserve(text.size());
    for (const QChar c : text) {
        if (c != u'\n' && isControl(c.unicode()))
            out += QStringLiteral("\\u") + hex(c.unicode(), 4);
        else
            out += c;
    }
    return out.toUtf8();
}

Console::Console(const Setup& setup) : setup_(setup) {}

void Console::print(const QString& line) {
    std::lock_guard guard(mutex_);
    write(setup_.output, terminalSafe(line) + u'\n');
    std::fflush(setup_.output);
}

void Console::printJson(const QJsonDocument& document) {
    std::lock_guard guard(mutex_);
    write(setup_.output, terminalSafeJson(document) + '\n');
    std::fflush(setup_.output);
}

void Console::message(const QString& text) {
    std::lock_guard guard(mutex_);
    // On one terminal the message takes the live block's place, and the block follows it.
    const bool sharesTerminal = drawn_ > 0 && setup_.errorsAreTerminal;
    if (sharesTerminal)
        eraseLive();
    write(setup_.errors, terminalSafe(text, LineBreaks::Keep) + u'\n');
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
        write(setup_.errors, terminalSafe(question, LineBreaks::Keep) + u' ');
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
        text += fitted(terminalSafe(line), columns) + u'\n';
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
