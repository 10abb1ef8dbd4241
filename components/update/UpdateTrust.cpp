#include "UpdateTrust.h"

#include "DebianVersion.h"
#include "UpdateFeed.h"

#include "base/SystemLog.h"

#include <QProcess>
#include <QProcessEnvironment>

#include <openssl/evp.h>
#include <openssl/x509.h>

#include <cstdio>
#include <memory>
#include <mutex>

namespace kestrune::update {
namespace {

// Made with `openssl genpkey -algorithm ed25519`; the private half is kept by the release
// manager, never in the source tree (see the README, "Signing an update").
constexpr char kBuiltInKey[] = "MCowBQYDK2VwAyEAi9iIEF3nvNxomwJyhYMZEr286BpIPEBHWjSrVGlRgI0=";

constexpr int kDpkgDebMilliseconds = 30000;

struct KeyFree {
    void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
struct ContextFree {
    void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
};
using Key = std::unique_ptr<EVP_PKEY, KeyFree>;

Key loadKey(const QString& text, QString* error) {
    const auto decoded = QByteArray::fromBase64Encoding(text.trimmed().toLatin1(),
                                                        QByteArray::AbortOnBase64DecodingErrors);
    if (!decoded || decoded.decoded.isEmpty()) {
        *error = QStringLiteral("\"%1\" is not base64").arg(text);
        return nullptr;
    }
    const auto* bytes = reinterpret_cast<const unsigned char*>(decoded.decoded.constData());
    const unsigned char* end = bytes;
    Key key(d2i_PUBKEY(nullptr, &end, long(decoded.decoded.size())));
    if (!key || end != bytes + decoded.decoded.size()) {
        *error = QStringLiteral("\"%1\" is not a public key").arg(text);
        return nullptr;
    }
    if (!EVP_PKEY_is_a(key.get(), "ED25519")) {
        *error = QStringLiteral("\"%1\" is not an Ed25519 key").arg(text);
        return nullptr;
    }
    return key;
}

bool verifiedBy(EVP_PKEY* key, const QByteArray& body, const QByteArray& signature) {
    std::unique_ptr<EVP_MD_CTX, ContextFree> context(EVP_MD_CTX_new());
    if (!context || EVP_DigestVerifyInit(context.get(), nullptr, nullptr, nullptr, key) != 1)
        return false;
    return EVP_DigestVerify(
               context.get(), reinterpret_cast<const unsigned char*>(signature.constData()),
               size_t(signature.size()), reinterpret_cast<const unsigned char*>(body.constData()),
               size_t(body.size())) == 1;
}

} // namespace

QString builtInPublicKey() {
    return QString::fromLatin1(kBuiltInKey);
}

QString checkPublicKey(const QString& text) {
    QString error;
    return loadKey(text, &error) ? QString() : error;
}

bool verifySignature(const QByteArray& body, const QByteArray& signature, const QStringList& keys,
                     QString* error) {
    QStringList unusable;
    for (const QString& text : keys) {
        QString why;
        const Key key = loadKey(text, &why);
        if (!key) {
            unusable << why;
            continue;
        }
        if (verifiedBy(key.get(), body, signature))
            return true;
    }
    *error = QStringLiteral("its signature is not one of a trusted key");
    if (!unusable.isEmpty())
        *error +=
            QStringLiteral(" (unusable trusted keys: %1)").arg(unusable.join(QStringLiteral("; ")));
    return false;
}

QProcessEnvironment toolEnvironment() {
    QProcessEnvironment environment;
    environment.insert(QStringLiteral("PATH"), QStringLiteral("/usr/sbin:/usr/bin:/sbin:/bin"));
    environment.insert(QStringLiteral("LC_ALL"), QStringLiteral("C"));
    return environment;
}

bool readPackageFields(const QString& path, PackageFields* fields, QString* error) {
    QProcess dpkg;
    dpkg.setProcessEnvironment(toolEnvironment());
    dpkg.start(
        QStringLiteral("/usr/bin/dpkg-deb"),
        {QStringLiteral("--field"), path, QStringLiteral("Package"), QStringLiteral("Version")});
    if (!dpkg.waitForStarted()) {
        *error = QStringLiteral("dpkg-deb could not be started: %1").arg(dpkg.errorString());
        return false;
    }
    if (!dpkg.waitForFinished(kDpkgDebMilliseconds)) {
        dpkg.kill();
        dpkg.waitForFinished();
        *error = QStringLiteral("dpkg-deb did not finish reading the package");
        return false;
    }
    const QString output = QString::fromUtf8(dpkg.readAllStandardOutput());
    if (dpkg.exitStatus() != QProcess::NormalExit || dpkg.exitCode() != 0) {
        const QString message = QString::fromUtf8(dpkg.readAllStandardError()).trimmed();
        *error = QStringLiteral("it is no Debian package (%1)")
                     .arg(message.isEmpty() ? QStringLiteral("dpkg-deb failed") : message);
        return false;
    }
    *fields = PackageFields{};
    for (const QString& line : output.split(QLatin1Char('\n'))) {
        if (line.startsWith(QLatin1String("Package:")))
            fields->name = line.mid(8).trimmed();
        else if (line.startsWith(QLatin1String("Version:")))
            fields->version = line.mid(8).trimmed();
    }
    if (fields->name.isEmpty() || fields->version.isEmpty()) {
        *error = QStringLiteral("its control data names no package or version");
        return false;
    }
    return true;
}

QString checkPackage(const QString& path, const QString& sha256, const QString& feedVersion,
                     const QString& runningVersion) {
    // The hash first: nothing else reads a file the signed feed does not vouch for.
    const QString actual = sha256OfFile(path);
    if (actual.isEmpty())
        return QStringLiteral("the package %1 could not be read").arg(path);
    if (actual != sha256)
        return QStringLiteral("the package's SHA-256 is %1, the feed says %2").arg(actual, sha256);
    PackageFields fields;
    QString error;
    if (!readPackageFields(path, &fields, &error))
        return QStringLiteral("the package %1: %2").arg(path, error);
    if (fields.name != QLatin1String(kPackageName))
        return QStringLiteral("the package is named \"%1\", not \"%2\"")
            .arg(fields.name, QLatin1String(kPackageName));
    if (!isDebianVersion(fields.version) || compareDebianVersions(fields.version, feedVersion) != 0)
        return QStringLiteral("the package's version is %1, the feed says %2")
            .arg(fields.version, feedVersion);
    if (!isNewerThanRunning(fields.version, runningVersion))
        return QStringLiteral("the package's version %1 is not newer than the installed %2")
            .arg(fields.version, runningVersion);
    return {};
}

void logRefusal(const QString& reason) {
    platform::LogWarning(
        QStringLiteral("The update was refused: %1").arg(reason).toUtf8().toStdString());
}

} // namespace kestrune::update
