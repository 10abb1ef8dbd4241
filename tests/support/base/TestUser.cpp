#include "TestUser.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QThread>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kestrune::test {
namespace {

// useradd and userdel lock the password files; another test may hold them for a moment.
bool runUserTool(const QString& tool, const QStringList& args) {
    for (int attempt = 0; attempt < 50; ++attempt) {
        QProcess process;
        process.start(tool, args);
        if (!process.waitForFinished(30000))
            return false;
        if (process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0)
            return true;
        // 1 and 10: the password or group file could not be updated (locked).
        if (process.exitCode() != 1 && process.exitCode() != 10)
            return false;
        QThread::msleep(200);
    }
    return false;
}

QString userTool(const char* name) {
    for (const char* dir : {"/usr/sbin", "/sbin"}) {
        const QString tool = QDir(QString::fromLatin1(dir)).filePath(QString::fromLatin1(name));
        if (QFile::exists(tool))
            return tool;
    }
    return {};
}

} // namespace

SudoingTestUser::SudoingTestUser() {
    if (::geteuid() != 0) {
        unavailable_ = QStringLiteral("needs root: the program is started through sudo as root");
        return;
    }
    const QString useradd = userTool("useradd");
    if (useradd.isEmpty()) {
        unavailable_ = QStringLiteral("useradd is not installed");
        return;
    }
    name_ = QStringLiteral("kestrune-t%1").arg(::getpid());
    home_ = QDir(base_.path()).filePath(name_);
    if (!runUserTool(useradd, {"--no-create-home", "--home-dir", home_, "--shell",
                               "/usr/sbin/nologin", "--user-group", name_})) {
        unavailable_ = QStringLiteral("useradd could not create a test user");
        return;
    }
    created_ = true;
    const passwd* entry = ::getpwnam(name_.toLocal8Bit().constData());
    if (!entry) {
        unavailable_ = QStringLiteral("the new test user is not in the password database");
        return;
    }
    uid_ = entry->pw_uid;
    gid_ = entry->pw_gid;
    // The user reaches their home as a real user does: the folders above it are open to all.
    ::chmod(QFile::encodeName(base_.path()).constData(), 0755);
    QDir().mkpath(home_);
    const QByteArray native = QFile::encodeName(home_);
    if (::chown(native.constData(), uid_, gid_) != 0 || ::chmod(native.constData(), 0700) != 0) {
        unavailable_ = QStringLiteral("the test user's home cannot be handed over");
        return;
    }

    for (const char* name : {"HOME", "XDG_CONFIG_HOME", "XDG_DATA_HOME", "KESTRUNE_REGISTRY_DIR",
                             "SUDO_UID", "SUDO_GID", "PKEXEC_UID"})
        saved_.push_back({name, qEnvironmentVariableIsSet(name), qgetenv(name)});
    qputenv("HOME", "/root");
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(rootFolder_.filePath("config")));
    qputenv("XDG_DATA_HOME", QFile::encodeName(rootFolder_.filePath("data")));
    qunsetenv("KESTRUNE_REGISTRY_DIR");
    qunsetenv("PKEXEC_UID");
    qputenv("SUDO_UID", QByteArray::number(uid_));
    qputenv("SUDO_GID", QByteArray::number(gid_));
}

SudoingTestUser::~SudoingTestUser() {
    for (const Saved& variable : saved_) {
        if (variable.set)
            qputenv(variable.name, variable.value);
        else
            qunsetenv(variable.name);
    }
    if (created_) {
        runUserTool(userTool("userdel"), {name_});
        // With the user gone, its group may still be there.
        QProcess::execute(userTool("groupdel"), {name_});
    }
}

std::optional<FileOwner> ownerOf(const QString& path) {
    struct stat info {};
    if (::lstat(QFile::encodeName(path).constData(), &info) != 0)
        return std::nullopt;
    return FileOwner{info.st_uid, info.st_gid};
}

} // namespace kestrune::test
