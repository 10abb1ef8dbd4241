#include "UpdateDialog.h"
#include "UpdateTrust.h"

#include "base/TrustedPath.h"

#include <QDesktopServices>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QUrl>

#include <dlfcn.h>
#include <unistd.h>

namespace kestrune::update {
namespace {

// Any object of the component tells the loader which file the component is.
const char kOwnFileAnchor = 0;

} // namespace

QString installerProgram() {
    Dl_info info{};
    if (::dladdr(&kOwnFileAnchor, &info) == 0 || !info.dli_fname)
        return {};
    const QString folder =
        QFileInfo(QFileInfo(QFile::decodeName(info.dli_fname)).canonicalFilePath()).path();
    // Installed, the path the polkit action names; elsewhere (the build tree) the installer
    // built beside the component.
    if (folder == QLatin1String(KESTRUNE_UPDATE_INSTALLER_DIR))
        return QStringLiteral(KESTRUNE_UPDATE_INSTALLER);
    return folder + QStringLiteral("/kestrune-install-update");
}

QStringList installerCommand(const QString& feedPath, const QString& packagePath, QString* error) {
    if (!packagePath.endsWith(QLatin1String(".deb"), Qt::CaseInsensitive)) {
        *error = QStringLiteral("There is no installer for this kind of package; install it by "
                                "hand.");
        return {};
    }
    const QString installer = installerProgram();
    if (installer.isEmpty() || !QFileInfo(installer).isExecutable()) {
        *error = QStringLiteral("The installer %1 is missing.").arg(installer);
        return {};
    }
    const QStringList files{QFileInfo(feedPath).absoluteFilePath(),
                            QFileInfo(packagePath).absoluteFilePath()};
    if (::geteuid() != 0)
        return QStringList{QStringLiteral("/usr/bin/pkexec"), installer} + files;
    // Root runs it without asking, so it must be root's alone.
    if (const std::string why =
            platform::UntrustedPathReason(QFile::encodeName(installer).toStdString());
        !why.empty()) {
        *error = QStringLiteral("The installer %1 is not used: %2")
                     .arg(installer, QString::fromStdString(why));
        logRefusal(*error);
        return {};
    }
    return QStringList{installer} + files;
}

bool openPackage(const QString& path) {
    if (QProcess::startDetached(QStringLiteral("xdg-open"), {path}))
        return true;
    return QDesktopServices::openUrl(QUrl::fromLocalFile(path));
}

std::optional<QProcessEnvironment> installerEnvironment() {
    // Root already: nothing of the caller's environment reaches the installer, a user
    // it might work for least of all; the package lies in root's own folder then.
    if (::geteuid() == 0)
        return toolEnvironment();
    return std::nullopt;
}

} // namespace kestrune::update
