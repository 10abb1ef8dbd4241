#include "platform/linux/FileRegistry.h"

#include "base/InvokingUser.h"
#include "base/SettingsPlace.h"
#include "base/SystemLog.h"

#include <QFile>
#include <QFileInfo>
#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <mutex>
#include <sys/file.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace kestrune::platform {
namespace {

int codeForErrno(int error) {
    switch (error) {
    case EACCES:
    case EPERM:
    case EROFS:
        return REGISTRY_ACCESS_DENIED;
    default:
        return REGISTRY_WRITE_FAULT;
    }
}

QString fullKeyPath(RegistryRoot root, const QString& key) {
    return key.isEmpty() ? rootName(root) : rootName(root) + QLatin1Char('\\') + key;
}

class FdCloser {
public:
    explicit FdCloser(int fd) : fd_(fd) {}
    ~FdCloser() {
        if (fd_ >= 0)
            ::close(fd_);
    }
    FdCloser(const FdCloser&) = delete;
    FdCloser& operator=(const FdCloser&) = delete;

private:
    int fd_;
};

} // namespace

QString rootName(RegistryRoot root) {
    return root == RegistryRoot::LocalMachine ? QStringLiteral("HKEY_LOCAL_MACHINE")
                                              : QStringLiteral("HKEY_CURRENT_USER");
}

namespace {

struct HivePlace {
    QString path;         // empty: there is none (no home is known)
    bool refused = false; // named by a KESTRUNE_REGISTRY_DIR that may not be used
};

HivePlace hivePlace(RegistryRoot root) {
    const SettingsPlace place =
        root == RegistryRoot::LocalMachine ? MachineHiveFile() : UserHiveFile();
    return {QFile::decodeName(QByteArray::fromStdString(place.path)), place.refused};
}

HiveFile readHiveAt(const HivePlace& place) {
    if (place.refused)
        return {HiveState::Unreadable, {}};
    if (place.path.isEmpty())
        return {HiveState::Missing, {}};
    return ReadHiveFile(place.path);
}

void warnNotWritten(const QString& path, const QString& why) {
    LogWarning(QStringLiteral("Registry file %1 was not written: %2").arg(path, why).toStdString());
}

QString lockUnusable(const QString& why) {
    return QStringLiteral("its lock file cannot be opened: ") + why;
}

// The window writes settings from its own thread: a lock another writer keeps must cost it a
// fraction of a second, never its life. The writers of this process take turns at a mutex,
// where the wait is fair; other processes are met at the file, tried often enough to find
// the moment between two of their writes. 0, or the errno of the last try (EWOULDBLOCK:
// still held).
int takeLock(int fd, std::unique_lock<std::timed_mutex>& turn) {
    static std::timed_mutex writers;
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(300);
    turn = std::unique_lock(writers, std::defer_lock);
    if (!turn.try_lock_until(deadline))
        return EWOULDBLOCK;
    for (;;) {
        if (::flock(fd, LOCK_EX | LOCK_NB) == 0)
            return 0;
        const int error = errno;
        if (error != EWOULDBLOCK && error != EINTR)
            return error;
        if (Clock::now() >= deadline)
            return EWOULDBLOCK;
        std::this_thread::sleep_for(std::chrono::microseconds(100));
    }
}

} // namespace

QString hiveFilePath(RegistryRoot root) {
    return hivePlace(root).path;
}

std::optional<RegistryValue> FileRegistry::read(RegistryRoot root, const QString& key,
                                                const QString& name) {
    const HiveFile loaded = readHiveAt(hivePlace(root));
    if (loaded.state != HiveState::Loaded)
        return std::nullopt;
    const HiveValue* value = loaded.hive->findValue(fullKeyPath(root, key), name);
    if (!value)
        return std::nullopt;
    return value->value;
}

bool FileRegistry::keyExists(RegistryRoot root, const QString& key) {
    const HiveFile loaded = readHiveAt(hivePlace(root));
    return loaded.state == HiveState::Loaded &&
           loaded.hive->hasKeyOrDescendant(fullKeyPath(root, key));
}

int FileRegistry::write(RegistryRoot root, const QString& key, const QString& name,
                        const RegistryValue& value) {
    // The text form has no way to carry a line break in a key or value name.
    if (HiveHasLineBreak(key) || HiveHasLineBreak(name))
        return REGISTRY_INVALID_PARAMETER;

    const HivePlace place = hivePlace(root);
    if (place.refused || place.path.isEmpty())
        return REGISTRY_ACCESS_DENIED;
    QString path = place.path;
    // A process on its own writes through a link to its target; for another user nothing
    // there is followed.
    const QFileInfo info(path);
    if (!ElevatedFor() && info.isSymLink() && info.exists())
        path = info.canonicalFilePath();
    const FileFolder folder(HiveFolderOf(path), true);
    if (!folder.ok()) {
        warnNotWritten(path, QString::fromStdString(folder.problem()));
        return codeForErrno(folder.error());
    }
    const std::string fileName = HiveNameOf(path);

    // Two instances may write at once: the lock serialises read-change-replace, so
    // neither loses the other's value.
    std::unique_lock<std::timed_mutex> turn; // released after the file's lock
    const int lockFd = folder.openFile(
        fileName + ".lock", O_RDONLY | O_CREAT | O_NONBLOCK | O_NOCTTY | O_NOFOLLOW, 0644);
    if (lockFd < 0) {
        const int error = errno;
        warnNotWritten(path, lockUnusable(HiveOpenFailureText(error)));
        return codeForErrno(error);
    }
    FdCloser lockCloser(lockFd);
    // A FIFO or a device there is no lock of ours, whatever locking it would do.
    struct stat lockInfo {};
    if (::fstat(lockFd, &lockInfo) != 0 || !S_ISREG(lockInfo.st_mode)) {
        warnNotWritten(path, lockUnusable(QStringLiteral("not a regular file")));
        return REGISTRY_ACCESS_DENIED;
    }
    if (const int error = takeLock(lockFd, turn)) {
        warnNotWritten(path,
                       lockUnusable(error == EWOULDBLOCK ? QStringLiteral("another writer holds it")
                                                         : HiveErrnoText(error)));
        return codeForErrno(error);
    }

    HiveFile loaded = ReadHiveFile(path, folder);
    if (loaded.state == HiveState::Damaged)
        return REGISTRY_BAD_DATABASE;
    if (loaded.state == HiveState::Unreadable)
        return REGISTRY_ACCESS_DENIED;
    Hive hive = loaded.hive ? *loaded.hive : Hive{};
    hive.setValue(fullKeyPath(root, key), name, value);
    const QByteArray bytes = serializeHive(hive);
    const mode_t mode = loaded.state == HiveState::Loaded
                            ? loaded.mode
                            : (root == RegistryRoot::LocalMachine ? 0644 : 0600);
    const int error = folder.replace(fileName, bytes.constData(), std::size_t(bytes.size()), mode);
    if (error) {
        warnNotWritten(path, HiveErrnoText(error));
        return codeForErrno(error);
    }
    return REGISTRY_OK;
}

Registry& registry() {
    static FileRegistry instance;
    return instance;
}

} // namespace kestrune::platform
