#include "platform/ExclusiveFile.h"

#include <QFile>
#include <QFileInfo>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kestrune::platform {
namespace {

std::string folderOf(const QString& path) {
    return QFile::encodeName(QFileInfo(path).absolutePath()).toStdString();
}

std::string nameOf(const QString& path) {
    return QFile::encodeName(QFileInfo(path).fileName()).toStdString();
}

QString failureText(const FileFolder& folder, int error) {
    if (!folder.ok())
        return QString::fromStdString(folder.problem());
    if (error == ELOOP)
        return QStringLiteral("it is a link, which is not followed for another user");
    return QString::fromLocal8Bit(std::strerror(error));
}

void tellFailure(const QString& path, const QString& why) {
    std::fprintf(stderr, "Kestrune: could not write %s: %s\n", QFile::encodeName(path).constData(),
                 why.toLocal8Bit().constData());
}

// A new file is readable by all, as the reports have always been.
constexpr mode_t kNewFileMode = 0644;

} // namespace

ExclusiveCreation CreateFileExclusively(const QString& path, const QByteArray& bytes,
                                        FileFolder::Rights rights) {
    const FileFolder folder(folderOf(path), false, rights);
    const int error = folder.ok() ? folder.createExclusively(nameOf(path), bytes.constData(),
                                                             std::size_t(bytes.size()))
                                  : folder.error();
    if (!error)
        return ExclusiveCreation::Created;
    if (folder.ok() && error == EEXIST)
        return ExclusiveCreation::NameTaken;
    tellFailure(path, failureText(folder, error));
    return ExclusiveCreation::Failed;
}

QString ReplaceFileWhole(const QString& path, const QByteArray& bytes, FileFolder::Rights rights,
                         bool* replaced) {
    const FileFolder folder(folderOf(path), false, rights);
    const std::string name = nameOf(path);
    int error = folder.error();
    if (folder.ok()) {
        const std::optional<mode_t> mode = folder.modeOf(name);
        if (replaced)
            *replaced = folder.exists(name);
        error = folder.replace(name, bytes.constData(), std::size_t(bytes.size()),
                               mode.value_or(kNewFileMode));
    }
    if (!error)
        return {};
    const QString why = failureText(folder, error);
    tellFailure(path, why);
    return why;
}

int OpenRegularFileForReading(const QString& path) {
    const FileFolder folder(folderOf(path), false);
    const int fd = folder.openFile(nameOf(path), O_RDONLY | O_NONBLOCK | O_NOCTTY);
    if (fd < 0)
        return -1;
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        const int error = S_ISREG(info.st_mode) ? errno : EINVAL;
        ::close(fd);
        errno = error;
        return -1;
    }
    return fd;
}

} // namespace kestrune::platform
