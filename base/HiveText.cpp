#include "base/Hive.h"

#include <QHash>
#include <QStringDecoder>
#include <utility>

namespace kestrune::platform {
namespace {

const QString kHeader = QStringLiteral("Windows Registry Editor Version 5.00");
constexpr int kHexBytesPerLine = 25;

bool sameName(const QString& a, const QString& b) {
    return QString::compare(a, b, Qt::CaseInsensitive) == 0;
}

// Parses a quoted string starting at text[pos] == '"'; pos ends after the closing quote.
std::optional<QString> parseQuoted(QStringView text, qsizetype& pos) {
    if (pos >= text.size() || text[pos] != QLatin1Char('"'))
        return std::nullopt;
    QString result;
    for (++pos; pos < text.size(); ++pos) {
        const QChar c = text[pos];
        if (c == QLatin1Char('"')) {
            ++pos;
            return result;
        }
        if (c == QLatin1Char('\\')) {
            if (pos + 1 >= text.size())
                return std::nullopt;
            const QChar next = text[pos + 1];
            if (next != QLatin1Char('\\') && next != QLatin1Char('"'))
                return std::nullopt;
            result.append(next);
            ++pos;
            continue;
        }
        result.append(c);
    }
    return std::nullopt;
}

QString quote(const QString& text) {
    QString result;
    result.reserve(text.size() + 2);
    result.append(QLatin1Char('"'));
    for (QChar c : text) {
        if (c == QLatin1Char('\\') || c == QLatin1Char('"'))
            result.append(QLatin1Char('\\'));
        result.append(c);
    }
    result.append(QLatin1Char('"'));
    return result;
}

bool onlySpaceFrom(QStringView text, qsizetype pos) {
    for (; pos < text.size(); ++pos)
        if (!text[pos].isSpace())
            return false;
    return true;
}

std::optional<std::uint32_t> parseHexNumber(QStringView digits, int maxDigits) {
    if (digits.isEmpty() || digits.size() > maxDigits)
        return std::nullopt;
    std::uint32_t value = 0;
    for (QChar c : digits) {
        const char16_t u = c.unicode();
        int d = -1;
        if (u >= u'0' && u <= u'9')
            d = u - u'0';
        else if (u >= u'a' && u <= u'f')
            d = u - u'a' + 10;
        else if (u >= u'A' && u <= u'F')
            d = u - u'A' + 10;
        if (d < 0)
            return std::nullopt;
        value = value * 16 + std::uint32_t(d);
    }
    return value;
}

std::optional<QByteArray> parseHexList(QStringView list) {
    QByteArray bytes;
    const QStringView trimmed = list.trimmed();
    if (trimmed.isEmpty())
        return bytes;
    for (const QStringView part : trimmed.split(u',')) {
        const auto byte = parseHexNumber(part.trimmed(), 2);
        if (!byte)
            return std::nullopt;
        bytes.append(char(*byte));
    }
    return bytes;
}

QByteArray utf16Terminated(const QString& text) {
    QByteArray bytes;
    bytes.reserve((text.size() + 1) * 2);
    for (QChar c : text) {
        bytes.append(char(c.unicode() & 0xFF));
        bytes.append(char(c.unicode() >> 8));
    }
    bytes.append('\0');
    bytes.append('\0');
    return bytes;
}

// The REG_SZ bytes as a text that the quoted form carries without loss, if there is one.
std::optional<QString> plainText(const QByteArray& data) {
    if (data.size() < 2 || data.size() % 2 != 0)
        return std::nullopt;
    const qsizetype units = data.size() / 2 - 1;
    if (data[units * 2] != 0 || data[units * 2 + 1] != 0)
        return std::nullopt;
    QString text;
    text.reserve(units);
    for (qsizetype i = 0; i < units; ++i) {
        const char16_t unit =
            char16_t(std::uint8_t(data[i * 2]) | (std::uint8_t(data[i * 2 + 1]) << 8));
        if (unit == 0)
            return std::nullopt;
        text.append(QChar(unit));
    }
    if (HiveHasLineBreak(text) || QString::fromUtf8(text.toUtf8()) != text)
        return std::nullopt;
    return text;
}

QString hexList(const QString& prefix, const QByteArray& data) {
    QString out = prefix;
    for (qsizetype i = 0; i < data.size(); ++i) {
        if (i > 0) {
            out.append(QLatin1Char(','));
            if (i % kHexBytesPerLine == 0)
                out.append(QStringLiteral("\\\n  "));
        }
        out.append(QStringLiteral("%1").arg(std::uint8_t(data[i]), 2, 16, QLatin1Char('0')));
    }
    return out;
}

QString serializeData(const RegistryValue& value) {
    if (value.type == REG_SZ_TYPE) {
        if (auto text = plainText(value.data))
            return quote(*text);
    }
    if (value.type == REG_DWORD_TYPE && value.data.size() == 4) {
        const std::uint32_t number = std::uint32_t(std::uint8_t(value.data[0])) |
                                     std::uint32_t(std::uint8_t(value.data[1])) << 8 |
                                     std::uint32_t(std::uint8_t(value.data[2])) << 16 |
                                     std::uint32_t(std::uint8_t(value.data[3])) << 24;
        return QStringLiteral("dword:%1").arg(number, 8, 16, QLatin1Char('0'));
    }
    if (value.type == REG_BINARY_TYPE)
        return hexList(QStringLiteral("hex:"), value.data);
    return hexList(QStringLiteral("hex(%1):").arg(value.type, 0, 16), value.data);
}

std::optional<QString> decodeText(const QByteArray& bytes) {
    QStringDecoder decoder;
    QByteArray body = bytes;
    if (body.startsWith("\xFF\xFE")) {
        decoder = QStringDecoder(QStringDecoder::Utf16LE);
        body.remove(0, 2);
    } else {
        decoder = QStringDecoder(QStringDecoder::Utf8);
        if (body.startsWith("\xEF\xBB\xBF"))
            body.remove(0, 3);
    }
    QString text = decoder.decode(body);
    if (decoder.hasError())
        return std::nullopt;
    return text;
}

// Reads a hive's lines in order. Each step returns why its line is refused, or nothing.
class HiveReader {
public:
    explicit HiveReader(QList<QStringView> lines) : lines_(std::move(lines)) {}

    std::optional<Hive> read(QString* error) {
        for (; at_ < lines_.size(); ++at_) {
            // A refusal names the line a value starts on, even when it continues further.
            const int lineNumber = int(at_ + 1);
            if (auto refused = readLine(lines_[at_].trimmed())) {
                if (error)
                    *error = QStringLiteral("line %1: %2").arg(lineNumber).arg(*refused);
                return std::nullopt;
            }
        }
        hive_.trailingComments = comments_;
        return std::move(hive_);
    }

private:
    using Refusal = std::optional<QString>;

    Refusal readLine(QStringView line) {
        if (line.isEmpty())
            return std::nullopt;
        if (line.startsWith(QLatin1Char(';'))) {
            comments_.append(line.toString());
            return std::nullopt;
        }
        if (!headerSeen_)
            return readHeader(line);
        if (line.startsWith(QLatin1Char('[')))
            return readKey(line);
        if (!haveKey_)
            return QStringLiteral("value outside a key");
        return readValue(line);
    }

    Refusal readHeader(QStringView line) {
        if (line != kHeader)
            return QStringLiteral("missing header");
        headerSeen_ = true;
        hive_.leadingComments = std::exchange(comments_, {});
        return std::nullopt;
    }

    Refusal readKey(QStringView line) {
        if (!line.endsWith(QLatin1Char(']')) || line.size() < 3 ||
            line.startsWith(QStringLiteral("[-")))
            return QStringLiteral("bad key line");
        const QString path = line.mid(1, line.size() - 2).toString();
        const QString folded = path.toCaseFolded();
        auto found = keyIndex_.constFind(folded);
        if (found == keyIndex_.constEnd()) {
            found = keyIndex_.insert(folded, hive_.keys.size());
            hive_.keys.push_back(HiveKey{path, {}, {}});
        }
        currentKey_ = *found;
        haveKey_ = true;
        hive_.keys[currentKey_].comments += std::exchange(comments_, {});
        return std::nullopt;
    }

    Refusal readValue(QStringView line) {
        QString name;
        qsizetype pos = 0;
        if (line.startsWith(QLatin1Char('@'))) {
            pos = 1;
        } else {
            auto quoted = parseQuoted(line, pos);
            if (!quoted)
                return QStringLiteral("bad value name");
            name = *quoted;
        }
        while (pos < line.size() && line[pos].isSpace())
            ++pos;
        if (pos >= line.size() || line[pos] != QLatin1Char('='))
            return QStringLiteral("missing '='");
        ++pos;
        while (pos < line.size() && line[pos].isSpace())
            ++pos;
        RegistryValue value;
        if (auto refused = readData(line.mid(pos), value))
            return refused;
        store(name, value);
        return std::nullopt;
    }

    Refusal readData(QStringView data, RegistryValue& value) {
        if (data.startsWith(QLatin1Char('"'))) {
            qsizetype at = 0;
            auto quoted = parseQuoted(data, at);
            if (!quoted || !onlySpaceFrom(data, at))
                return QStringLiteral("bad string");
            value.type = REG_SZ_TYPE;
            value.data = utf16Terminated(*quoted);
            return std::nullopt;
        }
        if (data.startsWith(QStringLiteral("dword:"), Qt::CaseInsensitive)) {
            const auto number = parseHexNumber(data.mid(6).trimmed(), 8);
            if (!number)
                return QStringLiteral("bad dword");
            value.type = REG_DWORD_TYPE;
            value.data.resize(4);
            for (int b = 0; b < 4; ++b)
                value.data[b] = char((*number >> (8 * b)) & 0xFF);
            return std::nullopt;
        }
        if (data.startsWith(QStringLiteral("hex"), Qt::CaseInsensitive))
            return readHex(data, value);
        return QStringLiteral("unknown value form");
    }

    // "hex:" is binary, "hex(N):" any other type; the bytes may continue over lines ending '\'.
    Refusal readHex(QStringView data, RegistryValue& value) {
        const qsizetype colon = data.indexOf(QLatin1Char(':'));
        if (colon < 0)
            return QStringLiteral("bad hex value");
        const QStringView kind = data.left(colon);
        if (kind.size() == 3) {
            value.type = REG_BINARY_TYPE;
        } else if (kind.size() > 5 && kind[3] == QLatin1Char('(') &&
                   kind.endsWith(QLatin1Char(')'))) {
            const auto type = parseHexNumber(kind.mid(4, kind.size() - 5), 8);
            if (!type)
                return QStringLiteral("bad hex type");
            value.type = *type;
        } else {
            return QStringLiteral("bad hex value");
        }
        QString list = data.mid(colon + 1).trimmed().toString();
        while (list.endsWith(QLatin1Char('\\'))) {
            list.chop(1);
            if (++at_ >= lines_.size())
                return QStringLiteral("continuation at end of file");
            list += lines_[at_].trimmed();
        }
        auto parsed = parseHexList(list);
        if (!parsed)
            return QStringLiteral("bad hex byte");
        value.data = *parsed;
        return std::nullopt;
    }

    void store(const QString& name, const RegistryValue& value) {
        HiveKey& key = hive_.keys[currentKey_];
        const QString folded =
            QString::number(currentKey_) + QLatin1Char('\n') + name.toCaseFolded();
        auto found = valueIndex_.constFind(folded);
        if (found == valueIndex_.constEnd()) {
            found = valueIndex_.insert(folded, key.values.size());
            key.values.push_back(HiveValue{name, value, {}});
        } else {
            key.values[*found].value = value;
        }
        key.values[*found].comments += std::exchange(comments_, {});
    }

    const QList<QStringView> lines_;
    qsizetype at_ = 0;
    Hive hive_;
    bool headerSeen_ = false;
    // Indexes by folded name keep a hive of many thousands of keys linear to read, which
    // matters because every setting is read from the file anew.
    QHash<QString, std::size_t> keyIndex_;
    QHash<QString, std::size_t> valueIndex_; // key's number + '\n' + folded value name
    std::size_t currentKey_ = 0;
    bool haveKey_ = false;
    QStringList comments_; // waiting for the key or value they stand above
};

} // namespace

bool HiveHasLineBreak(const QString& text) {
    return text.contains(QLatin1Char('\n')) || text.contains(QLatin1Char('\r'));
}

HiveKey* Hive::findKey(const QString& path) {
    // Folding keeps the length, so most keys are passed over without comparing their text.
    for (auto& key : keys)
        if (key.path.size() == path.size() && sameName(key.path, path))
            return &key;
    return nullptr;
}

const HiveKey* Hive::findKey(const QString& path) const {
    return const_cast<Hive*>(this)->findKey(path);
}

bool Hive::hasKeyOrDescendant(const QString& path) const {
    const QString prefix = path + QLatin1Char('\\');
    for (const auto& key : keys)
        if (sameName(key.path, path) || key.path.startsWith(prefix, Qt::CaseInsensitive))
            return true;
    return false;
}

const HiveValue* Hive::findValue(const QString& path, const QString& name) const {
    const HiveKey* key = findKey(path);
    if (!key)
        return nullptr;
    for (const auto& value : key->values)
        if (sameName(value.name, name))
            return &value;
    return nullptr;
}

void Hive::setValue(const QString& path, const QString& name, const RegistryValue& value) {
    HiveKey* key = findKey(path);
    if (!key) {
        keys.push_back(HiveKey{path, {}});
        key = &keys.back();
    }
    for (auto& existing : key->values) {
        if (sameName(existing.name, name)) {
            existing.value = value;
            return;
        }
    }
    key->values.push_back(HiveValue{name, value});
}

std::optional<Hive> parseHive(const QByteArray& bytes, QString* error) {
    const auto text = decodeText(bytes);
    if (!text) {
        if (error)
            *error = QStringLiteral("line 0: not valid text");
        return std::nullopt;
    }
    // Views into the text: a hive of many thousands of lines is read on every access.
    return HiveReader(QStringView(*text).split(u'\n')).read(error);
}

QByteArray serializeHive(const Hive& hive) {
    auto commentLines = [](const QStringList& comments) {
        QString lines;
        for (const QString& comment : comments)
            lines += comment + QLatin1Char('\n');
        return lines;
    };
    QString out = commentLines(hive.leadingComments) + kHeader + QStringLiteral("\n\n");
    for (const auto& key : hive.keys) {
        out += commentLines(key.comments);
        out += QLatin1Char('[') + key.path + QStringLiteral("]\n");
        for (const auto& value : key.values) {
            out += commentLines(value.comments);
            out += value.name.isEmpty() ? QStringLiteral("@") : quote(value.name);
            out += QLatin1Char('=') + serializeData(value.value) + QLatin1Char('\n');
        }
        out += QLatin1Char('\n');
    }
    out += commentLines(hive.trailingComments);
    return out.toUtf8();
}

} // namespace kestrune::platform
