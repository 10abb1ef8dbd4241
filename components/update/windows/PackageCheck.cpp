#include "DebianVersion.h"
#include "UpdateFeed.h"
#include "UpdateTrust.h"

#include <QFile>

namespace kestrune::update {
namespace {

// Every Windows Installer package is a compound file, which begins so.
constexpr char kCompoundFileMagic[] = "\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1";

} // namespace

QString checkPackage(const QString& path, const QString& sha256, const QString& feedVersion,
                     const QString& runningVersion) {
    // The hash first: nothing else reads a file the signed feed does not vouch for.
    const QString actual = sha256OfFile(path);
    if (actual.isEmpty())
        return QStringLiteral("the package %1 could not be read").arg(path);
    if (actual != sha256)
        return QStringLiteral("the package's SHA-256 is %1, the feed says %2").arg(actual, sha256);
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly) || file.read(8) != QByteArray(kCompoundFileMagic, 8))
        return QStringLiteral("the package %1 is no Windows Installer package").arg(path);
    if (!isNewerThanRunning(feedVersion, runningVersion))
        return QStringLiteral("the package's version %1 is not newer than the installed %2")
            .arg(feedVersion, runningVersion);
    return {};
}

} // namespace kestrune::update
