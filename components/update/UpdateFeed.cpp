#include "UpdateFeed.h"

#include "platform/InvokingUser.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStringDecoder>
#include <QStringList>
#include <QUrl>

#include <curl/curl.h>
#include <mutex>

namespace kestrune::update {
namespace {

constexpr qint64 kManifestMaxBytes = 64 * 1024;
constexpr qint64 kPackageMaxBytes = qint64(4) * 1024 * 1024 * 1024;
constexpr long kConnectTimeoutSeconds = 3;
constexpr long kFeedTimeoutSeconds = 5;
// A package download may take long; it stops when it stalls instead.
constexpr long kStallBytesPerSecond = 1;
constexpr long kStallSeconds = 15;

bool sameText(const QString& a, const QString& b) {
    return QString::compare(a, b, Qt::CaseInsensitive) == 0;
}

std::optional<QString> decodeUtf8(const QByteArray& bytes) {
    QByteArray body = bytes;
    if (body.startsWith("\xEF\xBB\xBF"))
        body.remove(0, 3);
    QStringDecoder decoder(QStringDecoder::Utf8);
    QString text = decoder.decode(body);
    if (decoder.hasError())
        return std::nullopt;
    return text;
}

// A hive may be UTF-16LE with a byte-order mark, as the registry editor writes it.
std::optional<QString> decodeHive(const QByteArray& bytes) {
    if (bytes.startsWith("\xFF\xFE")) {
        QStringDecoder decoder(QStringDecoder::Utf16LE);
        QString text = decoder.decode(bytes.mid(2));
        if (decoder.hasError())
            return std::nullopt;
        return text;
    }
    return decodeUtf8(bytes);
}

// Parses "text" with \\ and \" escapes at text[pos]; pos ends after the closing quote.
std::optional<QString> parseQuoted(const QString& text, qsizetype& pos) {
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

bool isUpdateKey(const QString& path, const QString& productName) {
    const QStringList parts = path.split(QLatin1Char('\\'));
    return parts.size() == 6 && sameText(parts[0], QStringLiteral("HKEY_LOCAL_MACHINE")) &&
           sameText(parts[1], QStringLiteral("Software")) && sameText(parts[3], productName) &&
           sameText(parts[4], QStringLiteral("Settings")) &&
           sameText(parts[5], QStringLiteral("Update"));
}

void initialiseCurl() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

struct Transfer {
    QByteArray* memory = nullptr;
    QFile* file = nullptr;
    qint64 limit = 0;
    qint64 received = 0;
    bool tooLarge = false;
    bool writeFailed = false;
    const std::atomic<bool>* cancel = nullptr;
    const std::function<void(qint64, qint64)>* progress = nullptr;
};

size_t receive(char* data, size_t size, size_t count, void* context) {
    auto* transfer = static_cast<Transfer*>(context);
    const size_t bytes = size * count;
    if (transfer->received + qint64(bytes) > transfer->limit) {
        transfer->tooLarge = true;
        return 0;
    }
    transfer->received += qint64(bytes);
    if (transfer->memory) {
        transfer->memory->append(data, qsizetype(bytes));
    } else if (transfer->file->write(data, qint64(bytes)) != qint64(bytes)) {
        transfer->writeFailed = true;
        return 0;
    }
    return bytes;
}

int transferInfo(void* context, curl_off_t total, curl_off_t now, curl_off_t, curl_off_t) {
    auto* transfer = static_cast<Transfer*>(context);
    if (transfer->cancel && transfer->cancel->load())
        return 1;
    if (transfer->progress && *transfer->progress)
        (*transfer->progress)(qint64(now), total > 0 ? qint64(total) : -1);
    return 0;
}

// Runs one transfer over the network; false with a reason on failure.
bool curlTransfer(const QString& address, Transfer& transfer, bool shortTimeout, QString* error) {
    initialiseCurl();
    CURL* curl = curl_easy_init();
    if (!curl) {
        *error = QStringLiteral("The network library could not be started.");
        return false;
    }
    char message[CURL_ERROR_SIZE] = {};
    const QByteArray url = address.toUtf8();
    curl_easy_setopt(curl, CURLOPT_URL, url.constData());
    curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, message);
    curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(curl, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(curl, CURLOPT_MAXREDIRS, 5L);
    curl_easy_setopt(curl, CURLOPT_FAILONERROR, 1L);
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, kConnectTimeoutSeconds);
    if (shortTimeout) {
        curl_easy_setopt(curl, CURLOPT_TIMEOUT, kFeedTimeoutSeconds);
    } else {
        curl_easy_setopt(curl, CURLOPT_LOW_SPEED_LIMIT, kStallBytesPerSecond);
        curl_easy_setopt(curl, CURLOPT_LOW_SPEED_TIME, kStallSeconds);
    }
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, receive);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &transfer);
    curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, transferInfo);
    curl_easy_setopt(curl, CURLOPT_XFERINFODATA, &transfer);
    curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
    const CURLcode code = curl_easy_perform(curl);
    curl_easy_cleanup(curl);
    if (code == CURLE_OK)
        return true;
    if (transfer.tooLarge)
        *error = QStringLiteral("The file at %1 is larger than expected.").arg(address);
    else if (transfer.writeFailed)
        *error = QStringLiteral("The file could not be written.");
    else if (code == CURLE_ABORTED_BY_CALLBACK)
        *error = QStringLiteral("The download was cancelled.");
    else
        *error =
            QStringLiteral("%1 could not be fetched: %2")
                .arg(address, QString::fromUtf8(message[0] ? message : curl_easy_strerror(code)));
    return false;
}

QString fileNameFromAddress(const QString& address) {
    const QString local = localPathOf(address);
    if (!local.isEmpty())
        return QFileInfo(local).fileName();
    return QUrl(address).fileName();
}

} // namespace

std::optional<Version> parseVersion(const QString& text) {
    const QString trimmed = text.trimmed();
    if (sameText(trimmed, QStringLiteral("none")))
        return Version{};
    const QStringList parts = trimmed.split(QLatin1Char('.'));
    if (parts.isEmpty() || parts.size() > 4)
        return std::nullopt;
    Version version;
    for (qsizetype i = 0; i < parts.size(); ++i) {
        const QString& part = parts[i];
        if (part.isEmpty() || part.size() > 9)
            return std::nullopt;
        for (QChar c : part)
            if (c < QLatin1Char('0') || c > QLatin1Char('9'))
                return std::nullopt;
        version.parts[size_t(i)] = part.toUInt();
    }
    return version;
}

QString versionText(const Version& version) {
    return QStringLiteral("%1.%2.%3.%4")
        .arg(version.parts[0])
        .arg(version.parts[1])
        .arg(version.parts[2])
        .arg(version.parts[3]);
}

std::optional<Manifest> parseManifest(const QByteArray& bytes, QString* error) {
    auto fail = [error](int line, const QString& why) -> std::optional<Manifest> {
        if (error)
            *error = line > 0 ? QStringLiteral("line %1: %2").arg(line).arg(why) : why;
        return std::nullopt;
    };
    if (bytes.size() > kManifestMaxBytes)
        return fail(0, QStringLiteral("the update information is too large"));
    const auto text = decodeUtf8(bytes);
    if (!text)
        return fail(0, QStringLiteral("the update information is not UTF-8 text"));

    Manifest manifest;
    bool haveVersion = false, haveUrl = false, haveHash = false;
    QStringList notes;
    const QStringList lines = text->split(QLatin1Char('\n'));
    for (qsizetype i = 0; i < lines.size(); ++i) {
        const int number = int(i + 1);
        QString line = lines[i];
        if (line.endsWith(QLatin1Char('\r')))
            line.chop(1);
        const QString trimmed = line.trimmed();
        if (trimmed.isEmpty() || trimmed.startsWith(QLatin1Char('#')))
            continue;
        const qsizetype equals = line.indexOf(QLatin1Char('='));
        if (equals < 0)
            return fail(number, QStringLiteral("expected key=value"));
        const QString key = line.left(equals).trimmed().toLower();
        const QString value = line.mid(equals + 1).trimmed();
        if (key == QLatin1String("version")) {
            if (haveVersion)
                return fail(number, QStringLiteral("version given twice"));
            const auto version = parseVersion(value);
            if (!version || sameText(value, QStringLiteral("none")))
                return fail(number, QStringLiteral("bad version \"%1\"").arg(value));
            manifest.version = *version;
            haveVersion = true;
        } else if (key == QLatin1String("url")) {
            if (haveUrl)
                return fail(number, QStringLiteral("url given twice"));
            if (value.isEmpty())
                return fail(number, QStringLiteral("empty url"));
            manifest.url = value;
            haveUrl = true;
        } else if (key == QLatin1String("sha256")) {
            if (haveHash)
                return fail(number, QStringLiteral("sha256 given twice"));
            const QString hash = value.toLower();
            bool hex = hash.size() == 64;
            for (QChar c : hash)
                hex = hex && ((c >= QLatin1Char('0') && c <= QLatin1Char('9')) ||
                              (c >= QLatin1Char('a') && c <= QLatin1Char('f')));
            if (!hex)
                return fail(number, QStringLiteral("bad sha256"));
            manifest.sha256 = hash;
            haveHash = true;
        } else if (key == QLatin1String("notes")) {
            notes << value;
        } else if (key.isEmpty()) {
            return fail(number, QStringLiteral("missing key"));
        }
    }
    if (!haveVersion)
        return fail(0, QStringLiteral("no version given"));
    manifest.notes = notes.join(QLatin1Char('\n'));
    return manifest;
}

QString machineHivePath() {
    const QString folder = qEnvironmentVariable("KESTRUNE_REGISTRY_DIR");
    if (!folder.isEmpty())
        return QDir(folder).filePath(QStringLiteral("machine.reg"));
    return QStringLiteral(KESTRUNE_MACHINE_HIVE);
}

std::optional<QString> feedUrlFromHive(const QByteArray& hive, const QString& productName) {
    const auto text = decodeHive(hive);
    if (!text)
        return std::nullopt;
    bool inUpdateKey = false;
    for (QString line : text->split(QLatin1Char('\n'))) {
        line = line.trimmed();
        if (line.startsWith(QLatin1Char('['))) {
            inUpdateKey = line.endsWith(QLatin1Char(']')) &&
                          isUpdateKey(line.mid(1, line.size() - 2), productName);
            continue;
        }
        if (!inUpdateKey || !line.startsWith(QLatin1Char('"')))
            continue;
        qsizetype pos = 0;
        const auto name = parseQuoted(line, pos);
        if (!name || !sameText(*name, QStringLiteral("FeedUrl")))
            continue;
        while (pos < line.size() && line[pos].isSpace())
            ++pos;
        if (pos >= line.size() || line[pos] != QLatin1Char('='))
            continue;
        ++pos;
        while (pos < line.size() && line[pos].isSpace())
            ++pos;
        if (const auto value = parseQuoted(line, pos); value && !value->trimmed().isEmpty())
            return value->trimmed();
    }
    return std::nullopt;
}

bool isNetworkAddress(const QString& address) {
    return address.startsWith(QStringLiteral("http://"), Qt::CaseInsensitive) ||
           address.startsWith(QStringLiteral("https://"), Qt::CaseInsensitive);
}

QString localPathOf(const QString& address) {
    if (address.startsWith(QLatin1Char('/')))
        return address;
    if (address.startsWith(QStringLiteral("file:"), Qt::CaseInsensitive)) {
        const QUrl url(address);
        return url.isLocalFile() ? url.toLocalFile() : QString();
    }
    return {};
}

QString resolveAddress(const QString& base, const QString& reference) {
    if (reference.startsWith(QLatin1Char('/')) || isNetworkAddress(reference) ||
        reference.startsWith(QStringLiteral("file:"), Qt::CaseInsensitive))
        return reference;
    const QUrl baseUrl = base.startsWith(QLatin1Char('/')) ? QUrl::fromLocalFile(base) : QUrl(base);
    const QUrl resolved = baseUrl.resolved(QUrl(reference));
    return resolved.isLocalFile() ? resolved.toLocalFile() : resolved.toString();
}

FetchResult fetchSmall(const QString& address, qint64 maxBytes) {
    FetchResult result;
    if (isNetworkAddress(address)) {
        Transfer transfer;
        transfer.memory = &result.data;
        transfer.limit = maxBytes;
        result.ok = curlTransfer(address, transfer, true, &result.error);
        if (!result.ok)
            result.data.clear();
        return result;
    }
    const QString path = localPathOf(address);
    if (path.isEmpty()) {
        result.error = QStringLiteral("The update address \"%1\" is not supported.").arg(address);
        return result;
    }
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        result.error = QStringLiteral("%1 could not be read: %2").arg(path, file.errorString());
        return result;
    }
    result.data = file.read(maxBytes + 1);
    if (result.data.size() > maxBytes) {
        result.data.clear();
        result.error = QStringLiteral("The file at %1 is larger than expected.").arg(path);
        return result;
    }
    result.ok = true;
    return result;
}

bool downloadFile(const QString& address, const QString& targetPath,
                  const std::atomic<bool>& cancel,
                  const std::function<void(qint64, qint64)>& progress, QString* error) {
    const QString partial = targetPath + QStringLiteral(".part");
    QFile out(partial);
    if (!out.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        *error = QStringLiteral("%1 could not be created: %2").arg(partial, out.errorString());
        return false;
    }
    bool ok = false;
    if (isNetworkAddress(address)) {
        Transfer transfer;
        transfer.file = &out;
        transfer.limit = kPackageMaxBytes;
        transfer.cancel = &cancel;
        transfer.progress = &progress;
        ok = curlTransfer(address, transfer, false, error);
    } else if (const QString path = localPathOf(address); path.isEmpty()) {
        *error = QStringLiteral("The package address \"%1\" is not supported.").arg(address);
    } else {
        QFile in(path);
        if (!in.open(QIODevice::ReadOnly)) {
            *error = QStringLiteral("%1 could not be read: %2").arg(path, in.errorString());
        } else {
            const qint64 total = in.size();
            qint64 copied = 0;
            ok = true;
            while (ok && !in.atEnd()) {
                if (cancel.load()) {
                    *error = QStringLiteral("The download was cancelled.");
                    ok = false;
                    break;
                }
                const QByteArray chunk = in.read(1024 * 1024);
                if (chunk.isEmpty() && in.error() != QFile::NoError) {
                    *error = QStringLiteral("%1 could not be read: %2").arg(path, in.errorString());
                    ok = false;
                } else if (out.write(chunk) != chunk.size()) {
                    *error = QStringLiteral("%1 could not be written: %2")
                                 .arg(partial, out.errorString());
                    ok = false;
                } else {
                    copied += chunk.size();
                    if (progress)
                        progress(copied, total);
                }
            }
        }
    }
    if (ok && !out.flush()) {
        *error = QStringLiteral("%1 could not be written: %2").arg(partial, out.errorString());
        ok = false;
    }
    out.close();
    if (ok && !QFile::rename(partial, targetPath)) {
        *error = QStringLiteral("%1 could not be saved.").arg(targetPath);
        ok = false;
    }
    // Started through sudo, a package downloaded into the user's folder is the user's.
    if (ok)
        kestrune::platform::GiveToInvokingUser(QFile::encodeName(targetPath).toStdString());
    if (!ok)
        QFile::remove(partial);
    return ok;
}

QString sha256OfFile(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    QCryptographicHash hash(QCryptographicHash::Sha256);
    if (!hash.addData(&file))
        return {};
    return QString::fromLatin1(hash.result().toHex());
}

QString downloadTargetFor(const QString& folder, const QString& address, const Version& version) {
    QString name = fileNameFromAddress(address);
    // Never let a name from the feed reach outside the download folder.
    name.remove(QLatin1Char('/'));
    if (name.isEmpty() || name == QLatin1String(".") || name == QLatin1String("..") ||
        name.startsWith(QLatin1Char('.')))
        name = QStringLiteral("kestrune-update-%1").arg(versionText(version));
    const QDir dir(folder);
    const QFileInfo info(name);
    const QString stem = info.completeBaseName();
    const QString suffix = info.suffix().isEmpty() ? QString() : QLatin1Char('.') + info.suffix();
    QString candidate = dir.filePath(name);
    for (int n = 1;
         QFileInfo::exists(candidate) || QFileInfo::exists(candidate + QStringLiteral(".part"));
         ++n)
        candidate = dir.filePath(QStringLiteral("%1 (%2)%3").arg(stem).arg(n).arg(suffix));
    return candidate;
}

CheckResult checkForUpdate(const QString& productName, const QString& programVersion) {
    CheckResult result;
    QFile hive(machineHivePath());
    std::optional<QString> feed;
    if (hive.open(QIODevice::ReadOnly))
        feed = feedUrlFromHive(hive.readAll(), productName);
    if (!feed) {
        result.outcome = Outcome::NoFeed;
        result.message =
            QStringLiteral("No update address is configured for %1.")
                .arg(productName.isEmpty() ? QStringLiteral("this program") : productName);
        return result;
    }
    result.feedAddress = *feed;
    const FetchResult fetched = fetchSmall(*feed, kManifestMaxBytes);
    if (!fetched.ok) {
        result.outcome = Outcome::Unreachable;
        result.message =
            QStringLiteral("The update information could not be fetched.\n%1").arg(fetched.error);
        return result;
    }
    QString why;
    const auto manifest = parseManifest(fetched.data, &why);
    if (!manifest) {
        result.outcome = Outcome::Malformed;
        result.message =
            QStringLiteral("The update information at %1 is not readable (%2).").arg(*feed, why);
        return result;
    }
    result.manifest = *manifest;
    if (!result.manifest.url.isEmpty())
        result.manifest.url = resolveAddress(*feed, result.manifest.url);
    const Version installed = parseVersion(programVersion).value_or(Version{});
    result.outcome = manifest->version > installed ? Outcome::Newer : Outcome::Current;
    return result;
}

} // namespace kestrune::update
