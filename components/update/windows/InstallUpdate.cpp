// kestrune-install-update.exe FEED PACKAGE, started by the update dialog of the elevated
// program. Nothing the dialog checked counts here: both files are copied into a fresh folder
// only administrators can change, checked again there, and that copy goes to msiexec.
#include "MsiInstall.h"
#include "UpdateFeed.h"
#include "UpdateTrust.h"

#include "base/SystemLog.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cstdio>

namespace {

using namespace kestrune;
using namespace kestrune::update;

enum Exit {
    kInstalled = 0,
    kUsage = 1,
    kRefused = 2,       // a file failed a check or could not be read
    kFailed = 3,        // the machine could not do its part
    kMsiexecFailed = 4, // msiexec was given the checked package and did not install it
};

// Whose registry key lists the keys besides the built-in one: the product's native name.
constexpr char kProductName[] = "Vaskor Kestrune";

int refuse(const QString& reason) {
    logRefusal(reason);
    return kRefused;
}

int fail(int code, const QString& reason) {
    platform::LogWarning(
        QStringLiteral("The update was not installed: %1").arg(reason).toUtf8().toStdString());
    return code;
}

std::wstring native(const QString& path) {
    return QDir::toNativeSeparators(path).toStdWString();
}

// The feed's copy, signed by a key the program trusts.
int readFeed(const QString& feed, const QString& feedArgument, Manifest& manifest) {
    QFile feedFile(feed);
    if (!feedFile.open(QIODevice::ReadOnly))
        return fail(kFailed, QStringLiteral("%1 could not be read back").arg(feed));
    const QByteArray feedBytes = feedFile.read(kFeedMaxBytes + 1);
    QString why;
    const auto signedFeed = splitSignature(feedBytes, &why);
    if (!signedFeed)
        return refuse(QStringLiteral("the update information %1: %2").arg(feedArgument, why));
    const QStringList keys = QStringList{builtInPublicKey()} +
                             machineUpdateSettings(QLatin1String(kProductName)).trustedKeys;
    if (!verifySignature(signedFeed->body, signedFeed->signature, keys, &why))
        return refuse(QStringLiteral("the update information %1: %2").arg(feedArgument, why));
    const auto parsed = parseManifest(signedFeed->body, &why);
    if (!parsed)
        return refuse(QStringLiteral("the update information %1 is not readable (%2)")
                          .arg(feedArgument, why));
    manifest = *parsed;
    return kInstalled;
}

int install(const QString& feedArgument, const QString& packageArgument) {
    if (!QFileInfo(feedArgument).isAbsolute() || !QFileInfo(packageArgument).isAbsolute())
        return fail(kUsage, QStringLiteral("the feed and the package must be given by absolute "
                                           "paths"));
    AdminFolder work(systemMsiCalls());
    if (work.path().empty())
        return fail(kFailed, QString::fromStdString(work.error()));
    std::string why;
    const std::wstring feed = work.copyIn(native(feedArgument), L"feed", &why);
    if (feed.empty())
        return refuse(
            QStringLiteral("the update information: %1").arg(QString::fromStdString(why)));
    // From here on only the copies count.
    Manifest manifest;
    if (const int exit = readFeed(QString::fromStdWString(feed), feedArgument, manifest);
        exit != kInstalled)
        return exit;
    // An epoch's colon has no place in a Windows file name.
    const QString name =
        QStringLiteral("kestrune-%1-x64.msi").arg(QString(manifest.version).replace(':', '_'));
    const std::wstring package = work.copyIn(native(packageArgument), name.toStdWString(), &why);
    if (package.empty())
        return refuse(QStringLiteral("the package: %1").arg(QString::fromStdString(why)));
    const QString copy = QString::fromStdWString(package);
    if (const qint64 size = QFileInfo(copy).size(); size != manifest.size)
        return refuse(QStringLiteral("the package %1 has %2 bytes, the feed says %3")
                          .arg(packageArgument)
                          .arg(size)
                          .arg(manifest.size));
    // The installer is installed with the program: its version is the installed one.
    if (const QString problem = checkPackage(copy, manifest.sha256, manifest.version,
                                             QStringLiteral(KESTRUNE_BUILT_IN_VERSION));
        !problem.isEmpty())
        return refuse(problem);
    const MsiOutcome outcome = runMsiexec(systemMsiCalls(), package);
    if (!outcome.installed)
        return fail(kMsiexecFailed, QString::fromStdString(outcome.error));
    if (outcome.restartNeeded)
        std::printf("The update is complete once Windows has restarted.\n");
    return kInstalled;
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication application(argc, argv);
    // The arguments as Windows gave them, in UTF-16.
    const QStringList arguments = QCoreApplication::arguments();
    if (arguments.size() != 3) {
        std::fprintf(stderr, "usage: kestrune-install-update SIGNED-FEED PACKAGE\n");
        return kUsage;
    }
    return install(arguments[1], arguments[2]);
}
