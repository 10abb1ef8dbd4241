#include "UpdateTrust.h"

#include "DebianVersion.h"
#include "UpdateCrypto.h"
#include "UpdateFeed.h"

#include "base/SystemLog.h"

#include <string_view>

namespace kestrune::update {
namespace {

// Made with `openssl genpkey -algorithm ed25519`; the private half is kept by the release
// manager, never in the source tree (see the README, "Signing an update").
constexpr char kBuiltInKey[] = "MCowBQYDK2VwAyEAi9iIEF3nvNxomwJyhYMZEr286BpIPEBHWjSrVGlRgI0=";

// The key's DER bytes, empty with the reason when text is no Ed25519 key.
QByteArray loadKey(const QString& text, QString* error) {
    const auto decoded = QByteArray::fromBase64Encoding(text.trimmed().toLatin1(),
                                                        QByteArray::AbortOnBase64DecodingErrors);
    if (!decoded || decoded.decoded.isEmpty()) {
        *error = QStringLiteral("\"%1\" is not base64").arg(text);
        return {};
    }
    const std::string_view der(decoded.decoded.constData(), size_t(decoded.decoded.size()));
    switch (crypto::examinePublicKey(der)) {
    case crypto::KeyForm::NotAKey:
        *error = QStringLiteral("\"%1\" is not a public key").arg(text);
        return {};
    case crypto::KeyForm::OtherKey:
        *error = QStringLiteral("\"%1\" is not an Ed25519 key").arg(text);
        return {};
    case crypto::KeyForm::Ed25519:
        break;
    }
    return decoded.decoded;
}

std::string_view view(const QByteArray& bytes) {
    return {bytes.constData(), size_t(bytes.size())};
}

} // namespace

QString builtInPublicKey() {
    return QString::fromLatin1(kBuiltInKey);
}

QString checkPublicKey(const QString& text) {
    QString error;
    return loadKey(text, &error).isEmpty() ? error : QString();
}

bool verifySignature(const QByteArray& body, const QByteArray& signature, const QStringList& keys,
                     QString* error) {
    QStringList unusable;
    for (const QString& text : keys) {
        QString why;
        const QByteArray key = loadKey(text, &why);
        if (key.isEmpty()) {
            unusable << why;
            continue;
        }
        if (crypto::ed25519Verifies(view(key), view(body), view(signature)))
            return true;
    }
    *error = QStringLiteral("its signature is not one of a trusted key");
    if (!unusable.isEmpty())
        *error +=
            QStringLiteral(" (unusable trusted keys: %1)").arg(unusable.join(QStringLiteral("; ")));
    return false;
}

void logRefusal(const QString& reason) {
    platform::LogWarning(
        QStringLiteral("The update was refused: %1").arg(reason).toUtf8().toStdString());
}

} // namespace kestrune::update
