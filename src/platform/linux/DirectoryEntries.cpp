#include "platform/linux/DirectoryEntries.h"

#include <QFile>
#include <algorithm>
#include <cerrno>
#include <dirent.h>

namespace kestrune::platform::linux_impl {

std::optional<std::vector<QByteArray>> directoryEntries(const QString& folder, int* error) {
    DIR* dir = ::opendir(QFile::encodeName(folder).constData());
    if (!dir) {
        if (error)
            *error = errno;
        return std::nullopt;
    }
    std::vector<QByteArray> names;
    errno = 0;
    while (const dirent* entry = ::readdir(dir)) {
        const QByteArray name(entry->d_name);
        if (name != "." && name != "..")
            names.push_back(name);
        errno = 0;
    }
    const int readError = errno;
    ::closedir(dir);
    if (readError != 0) {
        if (error)
            *error = readError;
        return std::nullopt;
    }
    std::sort(names.begin(), names.end());
    return names;
}

} // namespace kestrune::platform::linux_impl
