#include "DebianVersion.h"
#include "UpdateFeed.h"
#include "UpdateTrust.h"

#include <QProcess>
#include <QProcessEnvironment>

namespace kestrune::update {
namespace {

constexpr int kDpkgDebMilliseconds = 30000;

} // namespace

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

} // namespace kestrune::update
