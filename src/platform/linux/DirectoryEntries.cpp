#include "platform/linux/DirectoryEntries.h"

#include <QFile>
#include <cerrno>
#include <dirent.h>

namespace kestrune::platform::linux_impl {

std::optional<QStringList> directoryEntries(const QString& folder, int* error) {
    DIR* dir = ::opendir(QFile::encodeName(folder).constData());
    if (!dir) {
        if (error)
            *error = errno;
        return std::nullopt;
    }
    QStringList names;
    errno = 0;
    while (const dirent* entry = ::readdir(dir)) {
        const QByteArray name(entry->d_name);
        if (name != "." && name != "..")
            names << QFile::decodeName(name);
        errno = 0;
    }
    const int readError = errno;
    ::closedir(dir);
    if (readError != 0) {
        if (error)
            *error = readError;
        return std::nullopt;
    }
    names.sort();
    return names;
}

} // namespace kestrune::platform::linux_impl
