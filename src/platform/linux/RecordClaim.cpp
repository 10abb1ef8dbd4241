#include "platform/RecordClaim.h"

#include "base/UserFiles.h"

#include <QFile>
#include <QFileInfo>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kestrune::platform {
namespace {

const QString kClaimSuffix = QStringLiteral(".running");

std::string encoded(const QString& text) {
    return QFile::encodeName(text).toStdString();
}

QString errorText(int error) {
    return QString::fromLocal8Bit(std::strerror(error));
}

void syncFolder(const FileFolder& folder) {
    const ActingAs acting = folder.act();
    const int fd = ::openat(folder.fd(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
}

// The claim's file opened and locked without waiting; -1 when another process holds it.
int lockClaim(const FileFolder& folder, const std::string& name) {
    const int fd = folder.openFile(name, O_RDONLY | O_NOCTTY | O_NONBLOCK);
    if (fd < 0)
        return -1;
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || ::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        ::close(fd);
        return -1;
    }
    // A claim released and removed while it was being opened is no claim.
    struct stat now {};
    const ActingAs acting = folder.act();
    if (::fstatat(folder.fd(), name.c_str(), &now, AT_SYMLINK_NOFOLLOW) != 0 ||
        now.st_ino != info.st_ino || now.st_dev != info.st_dev) {
        ::close(fd);
        return -1;
    }
    return fd;
}

} // namespace

RecordClaim::RecordClaim(QString reportPath, QString claimName, int fd)
    : reportPath_(std::move(reportPath)), claimName_(std::move(claimName)), fd_(fd) {}

RecordClaim::~RecordClaim() {
    if (fd_ >= 0)
        ::close(fd_);
}

std::unique_ptr<RecordClaim> RecordClaim::take(const QString& reportPath, QString* failure,
                                               bool* nameTaken) {
    const QFileInfo report(reportPath);
    const FileFolder folder(encoded(report.absolutePath()), false);
    if (!folder.ok()) {
        *failure = QString::fromStdString(folder.problem());
        return nullptr;
    }
    const QString claim = u'.' + report.fileName() + kClaimSuffix;
    // Locked before it carries its name, so that no other program ever finds it unheld.
    // Jobs of one process claim at once too: each its own pending name.
    static std::atomic<unsigned> claims{0};
    const QString pending = claim + QStringLiteral(".new%1-%2").arg(::getpid()).arg(++claims);
    const int fd = folder.openFile(encoded(pending), O_RDWR | O_CREAT | O_EXCL, 0644);
    if (fd < 0) {
        *failure = errorText(errno);
        return nullptr;
    }
    int error = ::flock(fd, LOCK_EX | LOCK_NB) == 0 && ::fsync(fd) == 0 ? 0 : errno;
    {
        const ActingAs acting = folder.act();
        if (!error && ::linkat(folder.fd(), encoded(pending).c_str(), folder.fd(),
                               encoded(claim).c_str(), 0) != 0)
            error = errno;
        ::unlinkat(folder.fd(), encoded(pending).c_str(), 0);
    }
    if (error) {
        ::close(fd);
        if (nameTaken)
            *nameTaken = error == EEXIST;
        *failure = error == EEXIST ? QStringLiteral("another job claims that report's name")
                                   : errorText(error);
        return nullptr;
    }
    syncFolder(folder);
    return std::unique_ptr<RecordClaim>(new RecordClaim(reportPath, claim, fd));
}

QString RecordClaim::release() {
    if (fd_ < 0)
        return {};
    const FileFolder folder(encoded(QFileInfo(reportPath_).absolutePath()), false);
    int error = folder.ok() ? 0 : folder.error();
    if (!error) {
        const ActingAs acting = folder.act();
        if (::unlinkat(folder.fd(), encoded(claimName_).c_str(), 0) != 0)
            error = errno;
    }
    if (error)
        return folder.ok() ? errorText(error) : QString::fromStdString(folder.problem());
    syncFolder(folder);
    ::close(fd_);
    fd_ = -1;
    return {};
}

QString RecordClaim::dropRecord() {
    const QFileInfo report(reportPath_);
    const FileFolder folder(encoded(report.absolutePath()), false);
    if (!folder.ok())
        return QString::fromStdString(folder.problem());
    {
        const ActingAs acting = folder.act();
        if (::unlinkat(folder.fd(), encoded(report.fileName()).c_str(), 0) != 0 && errno != ENOENT)
            return errorText(errno);
    }
    return release();
}

std::vector<std::unique_ptr<RecordClaim>> OrphanedRecordClaims(const QString& folderPath) {
    std::vector<std::unique_ptr<RecordClaim>> orphaned;
    const FileFolder folder(encoded(folderPath), false);
    if (!folder.ok())
        return orphaned;
    std::vector<std::string> names;
    {
        const ActingAs acting = folder.act();
        const int fd = ::openat(folder.fd(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        DIR* dir = fd >= 0 ? ::fdopendir(fd) : nullptr;
        if (!dir) {
            if (fd >= 0)
                ::close(fd);
            return orphaned;
        }
        while (const dirent* entry = ::readdir(dir)) {
            const std::string name(entry->d_name);
            const std::string suffix = encoded(kClaimSuffix);
            if (name.size() > suffix.size() + 1 && name.front() == '.' &&
                name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0)
                names.push_back(name);
        }
        ::closedir(dir);
    }
    QString base = folderPath;
    if (!base.endsWith(u'/'))
        base += u'/';
    for (const std::string& name : names) {
        const int fd = lockClaim(folder, name);
        if (fd < 0)
            continue;
        const QString claim = QFile::decodeName(QByteArray::fromStdString(name));
        const QString report = base + claim.mid(1, claim.size() - 1 - kClaimSuffix.size());
        orphaned.push_back(std::unique_ptr<RecordClaim>(new RecordClaim(report, claim, fd)));
    }
    return orphaned;
}

} // namespace kestrune::platform
