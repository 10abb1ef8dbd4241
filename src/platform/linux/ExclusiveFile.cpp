#include "platform/ExclusiveFile.h"

#include <QFile>
#include <fcntl.h>
#include <unistd.h>

namespace kestrune::platform {

bool CreateFileExclusively(const QString& path, const QByteArray& bytes) {
    const int fd =
        ::open(QFile::encodeName(path).constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0)
        return false;
    qsizetype written = 0;
    while (written < bytes.size()) {
        const ssize_t n =
            ::write(fd, bytes.constData() + written, static_cast<size_t>(bytes.size() - written));
        if (n <= 0) {
            ::close(fd);
            ::unlink(QFile::encodeName(path).constData());
            return false;
        }
        written += n;
    }
    const bool synced = ::fsync(fd) == 0;
    return ::close(fd) == 0 && synced;
}

} // namespace kestrune::platform
