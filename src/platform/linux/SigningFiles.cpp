#include "platform/SigningFiles.h"

#include "base/TrustedPath.h"

#include <QFile>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kestrune::platform {
namespace {

// A PEM file holds a key or a short chain; anything larger is not what was meant.
constexpr off_t kMaxSigningFileSize = 1 << 20;

} // namespace

SigningFileRead ReadSigningFile(const QString& path, SigningFile kind) {
    const bool key = kind == SigningFile::Key;
    const QString role = key ? QStringLiteral("the signing key file")
                             : QStringLiteral("the signing certificate file");
    auto refuse = [&](const QString& why) {
        return SigningFileRead{{}, QStringLiteral("%1 %2 %3").arg(role, path, why)};
    };
    if (path.isEmpty())
        return SigningFileRead{{}, QStringLiteral("%1 is not named in the settings").arg(role)};
    const QByteArray name = QFile::encodeName(path);
    const std::string refusal = RootSettingsFileRefusal(
        name.toStdString(), key ? "the signing key file" : "the signing certificate file");
    if (!refusal.empty())
        return refuse(QStringLiteral("is refused: %1").arg(QString::fromStdString(refusal)));
    const int fd =
        ::open(name.constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        const int error = errno;
        return refuse(error == ELOOP ? QStringLiteral("is a link, which is not followed")
                                     : QStringLiteral("cannot be read: %1")
                                           .arg(QString::fromLocal8Bit(std::strerror(error))));
    }
    struct stat info {};
    SigningFileRead read;
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        read = refuse(QStringLiteral("is not a regular file"));
    } else if (key && (info.st_mode & (S_IROTH | S_IWOTH))) {
        // Whoever else can read it can sign in the organisation's name.
        read = refuse(QStringLiteral("is readable by others than its owner and group (mode %1)")
                          .arg(info.st_mode & 07777, 4, 8, QLatin1Char('0')));
    } else if (info.st_size > kMaxSigningFileSize) {
        read = refuse(QStringLiteral("is larger than a key or certificate file can be"));
    } else {
        QFile file;
        if (file.open(fd, QIODevice::ReadOnly, QFileDevice::DontCloseHandle))
            read.bytes = file.read(kMaxSigningFileSize + 1);
        if (read.bytes.isEmpty() || file.error() != QFileDevice::NoError)
            read = refuse(QStringLiteral("cannot be read"));
    }
    ::close(fd);
    return read;
}

} // namespace kestrune::platform
