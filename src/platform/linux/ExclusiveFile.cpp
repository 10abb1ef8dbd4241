#include "platform/ExclusiveFile.h"

#include <QFile>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace kestrune::platform {

ExclusiveCreation CreateFileExclusively(const QString& path, const QByteArray& bytes) {
    const QByteArray name = QFile::encodeName(path);
    const int fd = ::open(name.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0)
        return errno == EEXIST ? ExclusiveCreation::NameTaken : ExclusiveCreation::Failed;
    int error = 0;
    qsizetype written = 0;
    while (written < bytes.size()) {
        const ssize_t n =
            ::write(fd, bytes.constData() + written, static_cast<size_t>(bytes.size() - written));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            error = n < 0 ? errno : ENOSPC;
            break;
        }
        written += n;
    }
    if (!error && ::fsync(fd) != 0)
        error = errno;
    if (::close(fd) != 0 && !error)
        error = errno;
    if (!error)
        return ExclusiveCreation::Created;
    // An empty, partial or not durable report is no report.
    ::unlink(name.constData());
    std::fprintf(stderr, "Kestrune: could not write %s: %s\n", name.constData(),
                 std::strerror(error));
    return ExclusiveCreation::Failed;
}

} // namespace kestrune::platform
