#include "platform/linux/FileRegistry.h"

#include "platform/InvokingUser.h"
#include "platform/SystemLog.h"
#include "platform/TrustedPath.h"
#include "platform/UserFiles.h"

#include <QDir>
#include <QFileInfo>
#include <QHash>
#include <QSet>
#include <QStringDecoder>
#include <QStringList>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <mutex>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace kestrune::platform {
namespace {

const QString kHeader = QStringLiteral("Windows Registry Editor Version 5.00");
// A hive is a handful of settings; anything this large is not one of ours.
constexpr qint64 kMaxHiveBytes = 64 * 1024 * 1024;
constexpr int kHexBytesPerLine = 25;

bool sameName(const QString& a, const QString& b) {
    return QString::compare(a, b, Qt::CaseInsensitive) == 0;
}

bool hasLineBreak(const QString& text) {
    return text.contains(QLatin1Char('\n')) || text.contains(QLatin1Char('\r'));
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
    if (hasLineBreak(text) || QString::fromUtf8(text.toUtf8()) != text)
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

int codeForErrno(int error) {
    switch (error) {
    case EACCES:
    case EPERM:
    case EROFS:
        return REGISTRY_ACCESS_DENIED;
    default:
        return REGISTRY_WRITE_FAULT;
    }
}

enum class LoadState { Missing, Loaded, Damaged, Unreadable };

struct LoadResult {
    LoadState state;
    std::shared_ptr<const Hive> hive; // set when Loaded
    mode_t mode = 0;
};

// The file is read on every access, but bytes identical to those parsed last time for the
// same file are not parsed again: a large hive would otherwise cost a parse per setting.
std::shared_ptr<const Hive> parsedHive(const QString& path, const QByteArray& bytes,
                                       QString* error) {
    struct Parsed {
        QByteArray bytes;
        std::shared_ptr<const Hive> hive;
    };
    static std::mutex mutex;
    static QHash<QString, Parsed> last;
    {
        std::lock_guard guard(mutex);
        const auto found = last.constFind(path);
        if (found != last.constEnd() && found->bytes == bytes)
            return found->hive;
    }
    auto hive = parseHive(bytes, error);
    if (!hive)
        return nullptr;
    auto shared = std::make_shared<const Hive>(std::move(*hive));
    std::lock_guard guard(mutex);
    last.insert(path, Parsed{bytes, shared});
    return shared;
}

// Every read loads the file anew; the administrator hears of a bad file once per process.
void warnOnce(const QString& path, const QString& text) {
    static std::mutex mutex;
    static QSet<QString> warned;
    {
        std::lock_guard guard(mutex);
        if (warned.contains(path))
            return;
        warned.insert(path);
    }
    LogWarning(text);
}

void warnDamaged(const QString& path, const QString& why) {
    warnOnce(path, QStringLiteral("Registry file %1 does not parse (%2): its values are ignored "
                                  "and it is never overwritten.")
                       .arg(path, why));
}

void warnUnreadable(const QString& path, const QString& why) {
    warnOnce(path, QStringLiteral("Registry file %1 cannot be read (%2): its values are ignored.")
                       .arg(path, why));
}

QString errnoText(int error) {
    return QString::fromLocal8Bit(std::strerror(error));
}

std::string nativeName(const QString& path) {
    return QFile::encodeName(QFileInfo(path).fileName()).toStdString();
}

std::string nativeFolder(const QString& path) {
    return QFile::encodeName(QFileInfo(path).absolutePath()).toStdString();
}

// Why a file of the folder could not be opened, in words that fit a refused link.
QString openFailureText(int error) {
    return error == ELOOP ? QStringLiteral("it is a link, which is not followed for another user")
                          : errnoText(error);
}

// The hive in its folder, opened with the rights its place calls for.
LoadResult loadHive(const QString& path, const FileFolder& folder) {
    if (!folder.ok()) {
        if (folder.error() == ENOENT)
            return {LoadState::Missing, {}};
        warnUnreadable(path, QString::fromStdString(folder.problem()));
        return {LoadState::Unreadable, {}};
    }
    // Not blocking: opening a FIFO for reading would wait for a writer that never comes.
    const int fd = folder.openFile(nativeName(path), O_RDONLY | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) {
        const int error = errno;
        if (error == ENOENT)
            return {LoadState::Missing, {}};
        warnUnreadable(path, openFailureText(error));
        return {LoadState::Unreadable, {}};
    }
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        const int error = errno;
        ::close(fd);
        warnUnreadable(path, S_ISREG(info.st_mode) ? errnoText(error)
                                                   : QStringLiteral("not a regular file"));
        return {LoadState::Unreadable, {}};
    }
    if (info.st_size > kMaxHiveBytes) {
        ::close(fd);
        warnDamaged(path, QStringLiteral("too large"));
        return {LoadState::Damaged, {}};
    }
    QByteArray bytes;
    char buffer[16384];
    for (;;) {
        const ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0) {
            const int error = errno;
            ::close(fd);
            warnUnreadable(path, errnoText(error));
            return {LoadState::Unreadable, {}};
        }
        if (got == 0)
            break;
        bytes.append(buffer, got);
        if (bytes.size() > kMaxHiveBytes) {
            ::close(fd);
            warnDamaged(path, QStringLiteral("too large"));
            return {LoadState::Damaged, {}};
        }
    }
    ::close(fd);
    QString error;
    auto hive = parsedHive(path, bytes, &error);
    if (!hive) {
        warnDamaged(path, error);
        return {LoadState::Damaged, {}};
    }
    return {LoadState::Loaded, std::move(hive), info.st_mode & 07777};
}

QString fullKeyPath(RegistryRoot root, const QString& key) {
    return key.isEmpty() ? rootName(root) : rootName(root) + QLatin1Char('\\') + key;
}

class FdCloser {
public:
    explicit FdCloser(int fd) : fd_(fd) {}
    ~FdCloser() {
        if (fd_ >= 0)
            ::close(fd_);
    }
    FdCloser(const FdCloser&) = delete;
    FdCloser& operator=(const FdCloser&) = delete;

private:
    int fd_;
};

} // namespace

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
    auto fail = [error](int line, const QString& why) -> std::optional<Hive> {
        if (error)
            *error = QStringLiteral("line %1: %2").arg(line).arg(why);
        return std::nullopt;
    };
    const auto text = decodeText(bytes);
    if (!text)
        return fail(0, QStringLiteral("not valid text"));
    // Views into the text: a hive of many thousands of lines is read on every access.
    const QList<QStringView> lines = QStringView(*text).split(u'\n');

    Hive hive;
    bool headerSeen = false;
    // Indexes by folded name keep a hive of many thousands of keys linear to read, which
    // matters because every setting is read from the file anew.
    QHash<QString, std::size_t> keyIndex;
    QHash<QString, std::size_t> valueIndex; // key's number + '\n' + folded value name
    std::size_t currentKey = 0;
    bool haveKey = false;
    QStringList comments; // waiting for the key or value they stand above
    for (qsizetype i = 0; i < lines.size(); ++i) {
        const int lineNumber = int(i + 1);
        const QStringView line = lines[i].trimmed();
        if (line.isEmpty())
            continue;
        if (line.startsWith(QLatin1Char(';'))) {
            comments.append(line.toString());
            continue;
        }
        if (!headerSeen) {
            if (line != kHeader)
                return fail(lineNumber, QStringLiteral("missing header"));
            headerSeen = true;
            hive.leadingComments = std::exchange(comments, {});
            continue;
        }
        if (line.startsWith(QLatin1Char('['))) {
            if (!line.endsWith(QLatin1Char(']')) || line.size() < 3 ||
                line.startsWith(QStringLiteral("[-")))
                return fail(lineNumber, QStringLiteral("bad key line"));
            const QString path = line.mid(1, line.size() - 2).toString();
            const QString folded = path.toCaseFolded();
            auto found = keyIndex.constFind(folded);
            if (found == keyIndex.constEnd()) {
                found = keyIndex.insert(folded, hive.keys.size());
                hive.keys.push_back(HiveKey{path, {}, {}});
            }
            currentKey = *found;
            haveKey = true;
            hive.keys[currentKey].comments += std::exchange(comments, {});
            continue;
        }
        if (!haveKey)
            return fail(lineNumber, QStringLiteral("value outside a key"));

        QString name;
        qsizetype pos = 0;
        if (line.startsWith(QLatin1Char('@'))) {
            pos = 1;
        } else {
            auto quoted = parseQuoted(line, pos);
            if (!quoted)
                return fail(lineNumber, QStringLiteral("bad value name"));
            name = *quoted;
        }
        while (pos < line.size() && line[pos].isSpace())
            ++pos;
        if (pos >= line.size() || line[pos] != QLatin1Char('='))
            return fail(lineNumber, QStringLiteral("missing '='"));
        ++pos;
        while (pos < line.size() && line[pos].isSpace())
            ++pos;
        const QStringView data = line.mid(pos);

        RegistryValue value;
        if (data.startsWith(QLatin1Char('"'))) {
            qsizetype at = 0;
            auto quoted = parseQuoted(data, at);
            if (!quoted || !onlySpaceFrom(data, at))
                return fail(lineNumber, QStringLiteral("bad string"));
            value.type = REG_SZ_TYPE;
            value.data = utf16Terminated(*quoted);
        } else if (data.startsWith(QStringLiteral("dword:"), Qt::CaseInsensitive)) {
            const auto number = parseHexNumber(data.mid(6).trimmed(), 8);
            if (!number)
                return fail(lineNumber, QStringLiteral("bad dword"));
            value.type = REG_DWORD_TYPE;
            value.data.resize(4);
            for (int b = 0; b < 4; ++b)
                value.data[b] = char((*number >> (8 * b)) & 0xFF);
        } else if (data.startsWith(QStringLiteral("hex"), Qt::CaseInsensitive)) {
            qsizetype colon = data.indexOf(QLatin1Char(':'));
            if (colon < 0)
                return fail(lineNumber, QStringLiteral("bad hex value"));
            const QStringView kind = data.left(colon);
            if (kind.size() == 3) {
                value.type = REG_BINARY_TYPE;
            } else if (kind.size() > 5 && kind[3] == QLatin1Char('(') &&
                       kind.endsWith(QLatin1Char(')'))) {
                const auto type = parseHexNumber(kind.mid(4, kind.size() - 5), 8);
                if (!type)
                    return fail(lineNumber, QStringLiteral("bad hex type"));
                value.type = *type;
            } else {
                return fail(lineNumber, QStringLiteral("bad hex value"));
            }
            QString list = data.mid(colon + 1).trimmed().toString();
            while (list.endsWith(QLatin1Char('\\'))) {
                list.chop(1);
                if (++i >= lines.size())
                    return fail(lineNumber, QStringLiteral("continuation at end of file"));
                list += lines[i].trimmed();
            }
            auto parsed = parseHexList(list);
            if (!parsed)
                return fail(lineNumber, QStringLiteral("bad hex byte"));
            value.data = *parsed;
        } else {
            return fail(lineNumber, QStringLiteral("unknown value form"));
        }
        HiveKey& key = hive.keys[currentKey];
        const QString folded =
            QString::number(currentKey) + QLatin1Char('\n') + name.toCaseFolded();
        auto found = valueIndex.constFind(folded);
        if (found == valueIndex.constEnd()) {
            found = valueIndex.insert(folded, key.values.size());
            key.values.push_back(HiveValue{name, value, {}});
        } else {
            key.values[*found].value = value;
        }
        key.values[*found].comments += std::exchange(comments, {});
    }
    hive.trailingComments = comments;
    return hive;
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

QString rootName(RegistryRoot root) {
    return root == RegistryRoot::LocalMachine ? QStringLiteral("HKEY_LOCAL_MACHINE")
                                              : QStringLiteral("HKEY_CURRENT_USER");
}

namespace {

struct HivePlace {
    QString path;
    bool refused = false; // named by a KESTRUNE_REGISTRY_DIR that may not be used
};

HivePlace hivePlace(RegistryRoot root) {
    const bool machine = root == RegistryRoot::LocalMachine;
    const EnvironmentPath overrideDir = TrustedEnvironmentPath("KESTRUNE_REGISTRY_DIR");
    if (overrideDir.set && !overrideDir.value.empty())
        return {QDir(QFile::decodeName(QByteArray::fromStdString(overrideDir.value)))
                    .filePath(machine ? QStringLiteral("machine.reg") : QStringLiteral("user.reg")),
                !overrideDir.refusal.empty()};
    if (machine)
        return {QStringLiteral(KESTRUNE_MACHINE_HIVE)};
    return {QFile::decodeName(QByteArray::fromStdString(UserConfigHome())) +
            QStringLiteral("/kestrune/user.reg")};
}

LoadResult loadHiveAt(const HivePlace& place) {
    if (place.refused)
        return {LoadState::Unreadable, {}};
    const FileFolder folder(nativeFolder(place.path), false);
    return loadHive(place.path, folder);
}

void warnNotWritten(const QString& path, const QString& why) {
    LogWarning(QStringLiteral("Registry file %1 was not written: %2").arg(path, why));
}

} // namespace

QString hiveFilePath(RegistryRoot root) {
    return hivePlace(root).path;
}

std::optional<RegistryValue> FileRegistry::read(RegistryRoot root, const QString& key,
                                                const QString& name) {
    const LoadResult loaded = loadHiveAt(hivePlace(root));
    if (loaded.state != LoadState::Loaded)
        return std::nullopt;
    const HiveValue* value = loaded.hive->findValue(fullKeyPath(root, key), name);
    if (!value)
        return std::nullopt;
    return value->value;
}

bool FileRegistry::keyExists(RegistryRoot root, const QString& key) {
    const LoadResult loaded = loadHiveAt(hivePlace(root));
    return loaded.state == LoadState::Loaded &&
           loaded.hive->hasKeyOrDescendant(fullKeyPath(root, key));
}

int FileRegistry::write(RegistryRoot root, const QString& key, const QString& name,
                        const RegistryValue& value) {
    // The text form has no way to carry a line break in a key or value name.
    if (hasLineBreak(key) || hasLineBreak(name))
        return REGISTRY_INVALID_PARAMETER;

    const HivePlace place = hivePlace(root);
    if (place.refused)
        return REGISTRY_ACCESS_DENIED;
    QString path = place.path;
    // A process on its own writes through a link to its target; for another user nothing
    // there is followed.
    const QFileInfo info(path);
    if (!ElevatedFor() && info.isSymLink() && info.exists())
        path = info.canonicalFilePath();
    const FileFolder folder(nativeFolder(path), true);
    if (!folder.ok()) {
        warnNotWritten(path, QString::fromStdString(folder.problem()));
        return codeForErrno(folder.error());
    }
    const std::string fileName = nativeName(path);

    // Two instances may write at once: the lock serialises read-change-replace, so
    // neither loses the other's value.
    const int lockFd = folder.openFile(fileName + ".lock", O_RDONLY | O_CREAT, 0644);
    if (lockFd < 0) {
        const int error = errno;
        warnNotWritten(path,
                       QStringLiteral("its lock file cannot be opened: ") + openFailureText(error));
        return codeForErrno(error);
    }
    FdCloser lockCloser(lockFd);
    while (::flock(lockFd, LOCK_EX) != 0) {
        if (errno != EINTR)
            return codeForErrno(errno);
    }

    LoadResult loaded = loadHive(path, folder);
    if (loaded.state == LoadState::Damaged)
        return REGISTRY_BAD_DATABASE;
    if (loaded.state == LoadState::Unreadable)
        return REGISTRY_ACCESS_DENIED;
    Hive hive = loaded.hive ? *loaded.hive : Hive{};
    hive.setValue(fullKeyPath(root, key), name, value);
    const QByteArray bytes = serializeHive(hive);
    const mode_t mode = loaded.state == LoadState::Loaded
                            ? loaded.mode
                            : (root == RegistryRoot::LocalMachine ? 0644 : 0600);
    const int error = folder.replace(fileName, bytes.constData(), std::size_t(bytes.size()), mode);
    if (error) {
        warnNotWritten(path, errnoText(error));
        return codeForErrno(error);
    }
    return REGISTRY_OK;
}

Registry& registry() {
    static FileRegistry instance;
    return instance;
}

} // namespace kestrune::platform
