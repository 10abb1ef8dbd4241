#include "UpdateDialog.h"

#include <QDesktopServices>
#include <QDir>
#include <QFileInfo>
#include <QUrl>

#include <windows.h>

namespace kestrune::update {
namespace {

// Any object of the component tells the system which file the component is.
const char kOwnFileAnchor = 0;

} // namespace

QString installerProgram() {
    HMODULE module = nullptr;
    if (!::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                                  GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                              reinterpret_cast<LPCWSTR>(&kOwnFileAnchor), &module))
        return {};
    wchar_t path[32768] = {};
    const DWORD length = ::GetModuleFileNameW(module, path, DWORD(std::size(path)));
    if (length == 0 || length >= std::size(path))
        return {};
    // Installed beside the component, in the program's folder only administrators change.
    return QFileInfo(QString::fromWCharArray(path, int(length))).absolutePath() +
           QStringLiteral("/kestrune-install-update.exe");
}

QStringList installerCommand(const QString& feedPath, const QString& packagePath, QString* error) {
    if (!packagePath.endsWith(QLatin1String(".msi"), Qt::CaseInsensitive)) {
        *error = QStringLiteral("There is no installer for this kind of package; install it by "
                                "hand.");
        return {};
    }
    const QString installer = installerProgram();
    if (installer.isEmpty() || !QFileInfo(installer).isFile()) {
        *error = QStringLiteral("The installer %1 is missing.").arg(installer);
        return {};
    }
    return {QDir::toNativeSeparators(installer),
            QDir::toNativeSeparators(QFileInfo(feedPath).absoluteFilePath()),
            QDir::toNativeSeparators(QFileInfo(packagePath).absoluteFilePath())};
}

bool openPackage(const QString& path) {
    return QDesktopServices::openUrl(QUrl::fromLocalFile(QFileInfo(path).absolutePath()));
}

std::optional<QProcessEnvironment> installerEnvironment() {
    // The program is elevated for its own user: the installer trusts only what it copies
    // into its own folder, whatever the environment says.
    return std::nullopt;
}

} // namespace kestrune::update
