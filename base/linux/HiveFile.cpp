#include "base/Hive.h"

#include "base/SystemLog.h"

#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QSet>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>

namespace kestrune::platform {
namespace {

// A hive is a handful of settings, a few kilobytes; anything this large is not one of ours,
// and reading it on every access would stall every job.
constexpr qint64 kMaxHiveBytes = 1024 * 1024;

// The file is read on every access, but bytes identical to those parsed last time for the
// same file are not parsed again: a large hive would otherwise cost a parse per setting.
std::shared_ptr<const Hive> parsedHive(const QString& path, const QByteArray& bytes,
                                       QString* error) {
    struct Parsed {
        QByteArray bytes;
        std::shared_ptr<const Hive> hive;
    };
    static std::mutex mutex;
    static QHash<QString, Parsed> last;
    {
        std::lock_guard guard(mutex);
        const auto found = last.constFind(path);
        if (found != last.constEnd() && found->bytes == bytes)
            return found->hive;
    }
    auto hive = parseHive(bytes, error);
    if (!hive)
        return nullptr;
    auto shared = std::make_shared<const Hive>(std::move(*hive));
    std::lock_guard guard(mutex);
    last.insert(path, Parsed{bytes, shared});
    return shared;
}

// Every read loads the file anew; the administrator hears of a bad file once per process.
void warnOnce(const QString& path, const QString& text) {
    static std::mutex mutex;
    static QSet<QString> warned;
    {
        std::lock_guard guard(mutex);
        if (warned.contains(path))
            return;
        warned.insert(path);
    }
    LogWarning(text.toStdString());
}

void warnDamaged(const QString& path, const QString& why) {
    warnOnce(path, QStringLiteral("Registry file %1 does not parse (%2): its values are ignored "
                                  "and it is never overwritten.")
                       .arg(path, why));
}

void warnUnreadable(const QString& path, const QString& why) {
    warnOnce(path, QStringLiteral("Registry file %1 cannot be read (%2): its values are ignored.")
                       .arg(path, why));
}

QString errnoText(int error) {
    return QString::fromLocal8Bit(std::strerror(error));
}

std::string nativeName(const QString& path) {
    return QFile::encodeName(QFileInfo(path).fileName()).toStdString();
}

std::string nativeFolder(const QString& path) {
    return QFile::encodeName(QFileInfo(path).absolutePath()).toStdString();
}

} // namespace

QString HiveOpenFailureText(int error) {
    return error == ELOOP ? QStringLiteral("it is a link, which is not followed for another user")
                          : errnoText(error);
}

QString HiveErrnoText(int error) {
    return errnoText(error);
}

std::string HiveFolderOf(const QString& path) {
    return nativeFolder(path);
}

std::string HiveNameOf(const QString& path) {
    return nativeName(path);
}

HiveFile ReadHiveFile(const QString& path) {
    const FileFolder folder(nativeFolder(path), false);
    return ReadHiveFile(path, folder);
}

HiveFile ReadHiveFile(const QString& path, const FileFolder& folder) {
    if (!folder.ok()) {
        if (folder.error() == ENOENT)
            return {HiveState::Missing, {}};
        warnUnreadable(path, QString::fromStdString(folder.problem()));
        return {HiveState::Unreadable, {}};
    }
    // Not blocking: opening a FIFO for reading would wait for a writer that never comes.
    const int fd = folder.openFile(nativeName(path), O_RDONLY | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) {
        const int error = errno;
        if (error == ENOENT)
            return {HiveState::Missing, {}};
        warnUnreadable(path, HiveOpenFailureText(error));
        return {HiveState::Unreadable, {}};
    }
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        const int error = errno;
        ::close(fd);
        warnUnreadable(path, S_ISREG(info.st_mode) ? errnoText(error)
                                                   : QStringLiteral("not a regular file"));
        return {HiveState::Unreadable, {}};
    }
    if (info.st_size > kMaxHiveBytes) {
        ::close(fd);
        warnDamaged(path, QStringLiteral("too large"));
        return {HiveState::Damaged, {}};
    }
    QByteArray bytes;
    char buffer[16384];
    for (;;) {
        const ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0) {
            const int error = errno;
            ::close(fd);
            warnUnreadable(path, errnoText(error));
            return {HiveState::Unreadable, {}};
        }
        if (got == 0)
            break;
        bytes.append(buffer, got);
        if (bytes.size() > kMaxHiveBytes) {
            ::close(fd);
            warnDamaged(path, QStringLiteral("too large"));
            return {HiveState::Damaged, {}};
        }
    }
    ::close(fd);
    QString error;
    auto hive = parsedHive(path, bytes, &error);
    if (!hive) {
        warnDamaged(path, error);
        return {HiveState::Damaged, {}};
    }
    return {HiveState::Loaded, std::move(hive), info.st_mode & 07777};
}

} // namespace kestrune::platform
