// What makes an update ours: the feed's signature by a key the program trusts, and a
// package that is exactly the one the signed feed describes.
#pragma once

#include <QByteArray>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>

namespace kestrune::update {

// The only package the update installs.
inline constexpr char kPackageName[] = "kestrune";

// The release key's public half, built into the program: the base64 of its
// SubjectPublicKeyInfo, as `openssl pkey -pubout` prints it between the PEM lines.
QString builtInPublicKey();

// Empty when text is an Ed25519 public key in that form, else why it is not.
QString checkPublicKey(const QString& text);

// True when signature is an Ed25519 signature of body by one of keys (in the form above);
// keys that are not usable are skipped with their reason in *error when nothing matched.
bool verifySignature(const QByteArray& body, const QByteArray& signature, const QStringList& keys,
                     QString* error);

#ifndef _WIN32
struct PackageFields {
    QString name;
    QString version;
};
// The package's name and version from its control data, read by dpkg-deb; false with the
// reason when the file is no Debian package.
bool readPackageFields(const QString& path, PackageFields* fields, QString* error);

#endif

// Empty when the file at path is the package the feed describes (its SHA-256, the name
// kestrune, the feed's version) and newer than the installed version ("none" when unknown);
// else why it must not be installed. Windows reads no name or version from inside an MSI:
// there the signed feed's version is the one that must be newer, and the file an MSI.
QString checkPackage(const QString& path, const QString& sha256, const QString& feedVersion,
                     const QString& runningVersion);

#ifndef _WIN32
// The environment of the package tools the update runs: a fixed PATH and the C locale,
// nothing of the caller's.
QProcessEnvironment toolEnvironment();
#endif

// A refused feed or package: the reason goes to standard error and to the system log.
void logRefusal(const QString& reason);

} // namespace kestrune::update
