#include "UpdateFeed.h"

#include "DebianVersion.h"
#include "UpdateCrypto.h"
#include "UpdateTransport.h"
#include "UpdateTrust.h"

#include "base/Hive.h"
#include "base/InvokingUser.h"
#include "base/SettingsPlace.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>
#include <QStringDecoder>
#include <QStringList>
#include <QUrl>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace kestrune::update {
namespace {

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

// The path of a key below HKEY_LOCAL_MACHINE\\Software\\<company>\\<product>, empty for
// any other key.
QString productSubkey(const QString& path, const QString& productName) {
    const QStringList parts = path.split(QLatin1Char('\\'));
    if (parts.size() < 5 || !sameText(parts[0], QStringLiteral("HKEY_LOCAL_MACHINE")) ||
        !sameText(parts[1], QStringLiteral("Software")) || !sameText(parts[3], productName))
        return {};
    return parts.mid(4).join(QLatin1Char('\\'));
}

// Runs one transfer over the network; false with a reason on failure.
bool transfer(TransferRequest& request, const QString& address, const QString& caFile,
              QString* error, bool* refused, qint64* received = nullptr) {
    *refused = false;
    if (!isHttpsAddress(address)) {
        *refused = true;
        *error = QStringLiteral("%1 is not an https:// address").arg(address);
        return false;
    }
    request.address = address.toUtf8().toStdString();
    request.caFile = QFile::encodeName(caFile).toStdString();
    const TransferOutcome outcome = runTransfer(request);
    *refused = outcome.refused;
    if (received)
        *received = outcome.received;
    if (!outcome.ok)
        *error = QString::fromStdString(outcome.error);
    return outcome.ok;
}

QString fileNameFromAddress(const QString& address) {
    return QUrl(address).fileName();
}

QString userCacheFolder() {
#ifdef _WIN32
    return QStandardPaths::writableLocation(QStandardPaths::GenericCacheLocation);
#else
    const QString set = qEnvironmentVariable("XDG_CACHE_HOME");
    if (set.startsWith(QLatin1Char('/')))
        return set;
    const QString home = qEnvironmentVariable("HOME");
    return home.startsWith(QLatin1Char('/')) ? home + QStringLiteral("/.cache") : QString();
#endif
}

bool isLowerHex(const QString& text) {
    for (QChar c : text)
        if (!((c >= QLatin1Char('0') && c <= QLatin1Char('9')) ||
              (c >= QLatin1Char('a') && c <= QLatin1Char('f'))))
            return false;
    return true;
}

// The manifest as its lines are read; each reader says why a line is refused, or nothing.
class ManifestReader {
public:
    QString readEntry(const QString& key, const QString& value) {
        if (key == QLatin1String("version"))
            return readVersion(value);
        if (key == QLatin1String("url"))
            return readUrl(value);
        if (key == QLatin1String("sha256"))
            return readHash(value);
        if (key == QLatin1String("size"))
            return readSize(value);
        if (key == QLatin1String("notes"))
            notes_ << value;
        else if (key == QLatin1String("signature"))
            return QStringLiteral("a signature that is not the last line");
        else if (key.isEmpty())
            return QStringLiteral("missing key");
        return {};
    }

    // Why the lines make no manifest; empty when they make one, given in manifest.
    QString finish(Manifest& manifest) {
        if (!haveVersion_)
            return QStringLiteral("no version given");
        if (!haveUrl_)
            return QStringLiteral("no url given");
        if (!haveHash_)
            return QStringLiteral("no sha256 given");
        if (!haveSize_)
            return QStringLiteral("no size given");
        manifest_.notes = notes_.join(QLatin1Char('\n'));
        manifest = manifest_;
        return {};
    }

private:
    QString readVersion(const QString& value) {
        if (haveVersion_)
            return QStringLiteral("version given twice");
        if (!isDebianVersion(value))
            return QStringLiteral("bad version \"%1\"").arg(value);
        manifest_.version = value;
        haveVersion_ = true;
        return {};
    }

    QString readUrl(const QString& value) {
        if (haveUrl_)
            return QStringLiteral("url given twice");
        if (value.isEmpty())
            return QStringLiteral("empty url");
        manifest_.url = value;
        haveUrl_ = true;
        return {};
    }

    QString readHash(const QString& value) {
        if (haveHash_)
            return QStringLiteral("sha256 given twice");
        const QString hash = value.toLower();
        if (hash.size() != 64 || !isLowerHex(hash))
            return QStringLiteral("bad sha256");
        manifest_.sha256 = hash;
        haveHash_ = true;
        return {};
    }

    QString readSize(const QString& value) {
        if (haveSize_)
            return QStringLiteral("size given twice");
        bool digits = !value.isEmpty() && value.size() <= 12;
        for (QChar c : value)
            digits = digits && c >= QLatin1Char('0') && c <= QLatin1Char('9');
        const qint64 size = digits ? value.toLongLong() : 0;
        if (size <= 0 || size > kPackageMaxBytes)
            return QStringLiteral("bad size \"%1\"").arg(value);
        manifest_.size = size;
        haveSize_ = true;
        return {};
    }

    Manifest manifest_;
    bool haveVersion_ = false, haveUrl_ = false, haveHash_ = false, haveSize_ = false;
    QStringList notes_;
};

} // namespace

std::optional<Manifest> parseManifest(const QByteArray& body, QString* error) {
    auto fail = [error](int line, const QString& why) -> std::optional<Manifest> {
        if (error)
            *error = line > 0 ? QStringLiteral("line %1: %2").arg(line).arg(why) : why;
        return std::nullopt;
    };
    if (body.size() > kFeedMaxBytes)
        return fail(0, QStringLiteral("the update information is too large"));
    const auto text = decodeUtf8(body);
    if (!text)
        return fail(0, QStringLiteral("the update information is not UTF-8 text"));

    ManifestReader reader;
    const QStringList lines = text->split(QLatin1Char('\n'));
    for (qsizetype i = 0; i < lines.size(); ++i) {
        QString line = lines[i];
        if (line.endsWith(QLatin1Char('\r')))
            line.chop(1);
        const QString trimmed = line.trimmed();
        if (trimmed.isEmpty() || trimmed.startsWith(QLatin1Char('#')))
            continue;
        const qsizetype equals = line.indexOf(QLatin1Char('='));
        if (equals < 0)
            return fail(int(i + 1), QStringLiteral("expected key=value"));
        if (const QString refused = reader.readEntry(line.left(equals).trimmed().toLower(),
                                                     line.mid(equals + 1).trimmed());
            !refused.isEmpty())
            return fail(int(i + 1), refused);
    }
    Manifest manifest;
    if (const QString refused = reader.finish(manifest); !refused.isEmpty())
        return fail(0, refused);
    return manifest;
}

std::optional<SignedFeed> splitSignature(const QByteArray& bytes, QString* error) {
    static const QByteArray kKey = "signature=";
    QByteArray text = bytes;
    if (text.endsWith('\n'))
        text.chop(1);
    if (text.endsWith('\r'))
        text.chop(1);
    const qsizetype lineStart = text.lastIndexOf('\n') + 1;
    const QByteArray last = text.mid(lineStart);
    if (!last.startsWith(kKey)) {
        *error = bytes.contains("\n" + kKey) || bytes.startsWith(kKey)
                     ? QStringLiteral("its signature is not its last line")
                     : QStringLiteral("it has no signature");
        return std::nullopt;
    }
    const auto decoded = QByteArray::fromBase64Encoding(last.mid(kKey.size()).trimmed(),
                                                        QByteArray::AbortOnBase64DecodingErrors);
    if (!decoded || decoded.decoded.size() != 64) {
        *error = QStringLiteral("its signature is not 64 bytes in base64");
        return std::nullopt;
    }
    return SignedFeed{bytes.left(lineStart), decoded.decoded};
}

UpdateSettings updateSettingsFromHive(const platform::Hive& hive, const QString& productName) {
    UpdateSettings settings;
    const QString updateKey = QStringLiteral("Settings\\Update");
    const QString keysKey = QStringLiteral("Settings\\Update\\TrustedKeys");
    auto text = [](const platform::HiveValue& value) {
        return platform::registryText(value.value).value_or(QString()).trimmed();
    };
    for (const platform::HiveKey& key : hive.keys) {
        const QString subkey = productSubkey(key.path, productName);
        if (sameText(subkey, keysKey)) {
            for (const platform::HiveValue& value : key.values)
                if (value.value.type == platform::REG_SZ_TYPE && !text(value).isEmpty())
                    settings.trustedKeys << text(value);
        } else if (sameText(subkey, updateKey)) {
            for (const platform::HiveValue& value : key.values) {
                if (value.value.type != platform::REG_SZ_TYPE || text(value).isEmpty())
                    continue;
                // The first key that names one holds.
                if (sameText(value.name, QStringLiteral("FeedUrl")) && settings.feedUrl.isEmpty())
                    settings.feedUrl = text(value);
                else if (sameText(value.name, QStringLiteral("CaFile")) &&
                         settings.caFile.isEmpty())
                    settings.caFile = text(value);
            }
        }
    }
    return settings;
}

UpdateSettings updateSettingsFromHive(const QByteArray& bytes, const QString& productName) {
    const std::optional<platform::Hive> hive = platform::parseHive(bytes);
    return hive ? updateSettingsFromHive(*hive, productName) : UpdateSettings{};
}

bool isHttpsAddress(const QString& address) {
    const QUrl url(address, QUrl::StrictMode);
    return url.isValid() && url.scheme() == QLatin1String("https") && !url.host().isEmpty();
}

QString resolveAddress(const QString& base, const QString& reference) {
    return QUrl(base).resolved(QUrl(reference)).toString();
}

FetchResult fetchSmall(const QString& address, qint64 maxBytes, const QString& caFile) {
    FetchResult result;
    TransferRequest request;
    request.shortTimeout = true;
    request.limit = maxBytes;
    request.sink = [&result](const char* data, size_t size) {
        result.data.append(data, qsizetype(size));
        return true;
    };
    result.ok = transfer(request, address, caFile, &result.error, &result.refused);
    if (!result.ok)
        result.data.clear();
    return result;
}

bool downloadFile(const QString& address, const QString& targetPath, qint64 size,
                  const QString& caFile, const std::atomic<bool>& cancel,
                  const std::function<void(qint64, qint64)>& progress, QString* error,
                  bool* refused) {
    bool refusedHere = false;
    const QString partial = targetPath + QStringLiteral(".part");
    QFile out(partial);
    // Never through anything already lying there, a link least of all.
    if (!out.open(QIODevice::WriteOnly | QIODevice::NewOnly)) {
        *error = QStringLiteral("%1 could not be created: %2").arg(partial, out.errorString());
        return false;
    }
    TransferRequest request;
    request.limit = size;
    request.exact = true;
    request.cancel = &cancel;
    request.sink = [&out](const char* data, size_t bytes) {
        return out.write(data, qint64(bytes)) == qint64(bytes);
    };
    if (progress)
        request.progress = [&progress](int64_t now, int64_t total) { progress(now, total); };
    qint64 received = 0;
    bool ok = transfer(request, address, caFile, error, &refusedHere, &received);
    if (ok && received != size) {
        *error = QStringLiteral("The download from %1 ended after %2 of the %3 bytes the update "
                                "information announces.")
                     .arg(address)
                     .arg(received)
                     .arg(size);
        ok = false;
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
    if (!ok)
        QFile::remove(partial);
    if (refused)
        *refused = refusedHere;
    return ok;
}

QString sha256OfFile(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    crypto::Sha256 hash;
    QByteArray buffer(64 * 1024, Qt::Uninitialized);
    for (;;) {
        const qint64 got = file.read(buffer.data(), buffer.size());
        if (got < 0)
            return {};
        if (got == 0)
            break;
        hash.add(buffer.constData(), size_t(got));
    }
    crypto::Digest digest{};
    if (!hash.finish(digest))
        return {};
    return QString::fromLatin1(
        QByteArray(reinterpret_cast<const char*>(digest.data()), qsizetype(digest.size())).toHex());
}

QString downloadTargetFor(const QString& folder, const QString& address, const QString& version) {
    QString name = fileNameFromAddress(address);
    // Never let a name from the feed reach outside the download folder.
    name.remove(QLatin1Char('/'));
    if (name.isEmpty() || name == QLatin1String(".") || name == QLatin1String("..") ||
        name.startsWith(QLatin1Char('.')))
        name = QStringLiteral("kestrune-update-%1").arg(version);
    const QDir dir(folder);
    const QFileInfo info(name);
    const QString stem = info.completeBaseName();
    const QString suffix = info.suffix().isEmpty() ? QString() : QLatin1Char('.') + info.suffix();
    QString candidate = dir.filePath(name);
    for (int n = 1; QFileInfo(candidate).exists() || QFileInfo(candidate).isSymLink() ||
                    QFileInfo::exists(candidate + QStringLiteral(".part")) ||
                    QFileInfo(feedFileFor(candidate)).exists() ||
                    QFileInfo(feedFileFor(candidate)).isSymLink();
         ++n)
        candidate = dir.filePath(QStringLiteral("%1 (%2)%3").arg(stem).arg(n).arg(suffix));
    return candidate;
}

QString feedFileFor(const QString& packagePath) {
    return packagePath + QStringLiteral(".feed");
}

DownloadFolder prepareDownloadFolder() {
    DownloadFolder folder;
#ifndef _WIN32
    if (platform::ElevatedFor()) {
        // Not $TMPDIR: the user may have set that.
        QByteArray pattern = "/tmp/kestrune-update-XXXXXX";
        if (!::mkdtemp(pattern.data())) {
            folder.error = QStringLiteral("A download folder in /tmp could not be made: %1")
                               .arg(QString::fromLocal8Bit(std::strerror(errno)));
            return folder;
        }
        folder.path = QFile::decodeName(pattern);
        folder.fresh = true;
        return folder;
    }
#endif
    const QString cache = userCacheFolder();
    if (cache.isEmpty()) {
        folder.error = QStringLiteral("There is no cache folder: neither XDG_CACHE_HOME nor HOME "
                                      "is set.");
        return folder;
    }
    const QString path = cache + QStringLiteral("/kestrune/updates");
    if (!QDir().mkpath(path)) {
        folder.error = QStringLiteral("The download folder %1 could not be created.").arg(path);
        return folder;
    }
    folder.path = path;
    return folder;
}

void removeDownloadFolder(const DownloadFolder& folder) {
    if (folder.fresh && !folder.path.isEmpty())
        QDir(folder.path).removeRecursively();
}

CheckResult checkForUpdate(const QString& productName, const QString& programVersion) {
    CheckResult result;
    result.settings = machineUpdateSettings(productName);
    const QString feed = result.settings.feedUrl;
    if (feed.isEmpty()) {
        result.outcome = Outcome::NoFeed;
        result.message =
            QStringLiteral("No update address is configured for %1.")
                .arg(productName.isEmpty() ? QStringLiteral("this program") : productName);
        return result;
    }
    auto refuse = [&result](const QString& reason) {
        result.outcome = Outcome::Refused;
        result.message = reason;
        logRefusal(reason);
        return result;
    };
    const FetchResult fetched = fetchSmall(feed, kFeedMaxBytes, result.settings.caFile);
    if (!fetched.ok && fetched.refused)
        return refuse(QStringLiteral("the update information: %1").arg(fetched.error));
    if (!fetched.ok) {
        result.outcome = Outcome::Unreachable;
        result.message =
            QStringLiteral("The update information could not be fetched.\n%1").arg(fetched.error);
        return result;
    }
    QString why;
    const auto signedFeed = splitSignature(fetched.data, &why);
    if (!signedFeed)
        return refuse(QStringLiteral("the update information at %1: %2").arg(feed, why));
    const QStringList keys = QStringList{builtInPublicKey()} + result.settings.trustedKeys;
    if (!verifySignature(signedFeed->body, signedFeed->signature, keys, &why))
        return refuse(QStringLiteral("the update information at %1: %2").arg(feed, why));
    const auto manifest = parseManifest(signedFeed->body, &why);
    if (!manifest)
        return refuse(
            QStringLiteral("the update information at %1 is not readable (%2)").arg(feed, why));
    result.manifest = *manifest;
    result.feed = fetched.data;
    result.manifest.url = resolveAddress(feed, manifest->url);
    if (!isHttpsAddress(result.manifest.url))
        return refuse(QStringLiteral("the package address %1 is not an https:// address")
                          .arg(result.manifest.url));
    result.outcome =
        isNewerThanRunning(manifest->version, programVersion) ? Outcome::Newer : Outcome::Current;
    return result;
}

} // namespace kestrune::update
