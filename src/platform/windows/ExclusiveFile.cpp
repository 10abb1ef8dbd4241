#include "platform/ExclusiveFile.h"

#include "platform/windows/FileCalls.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <io.h>

namespace kestrune::platform {
namespace {

using windows_impl::errorText;

void tellFailure(const QString& path, const QString& why) {
    std::fprintf(stderr, "Kestrune: could not write %s: %s\n", path.toUtf8().constData(),
                 why.toUtf8().constData());
}

int errnoFor(DWORD error) {
    switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
        return ENOENT;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
        return EACCES;
    case ERROR_CANT_RESOLVE_FILENAME:
        return ELOOP;
    case ERROR_CANT_ACCESS_FILE:
        return EINVAL;
    default:
        return EIO;
    }
}

} // namespace

// The process acts with its own rights on Windows (nobody's rights are taken on, see
// ElevatedFor), so every choice of rights comes to the same: the folder's access list,
// which a new file inherits.
ExclusiveCreation CreateFileExclusively(const QString& path, const QByteArray& bytes,
                                        FileFolder::Rights) {
    const FileResult result = createExclusively(systemFileCalls(), path, bytes);
    if (!result.error)
        return ExclusiveCreation::Created;
    if (result.nameTaken)
        return ExclusiveCreation::NameTaken;
    tellFailure(path, errorText(result.error));
    return ExclusiveCreation::Failed;
}

QString ReplaceFileWhole(const QString& path, const QByteArray& bytes, FileFolder::Rights,
                         bool* replaced) {
    const FileResult result = replaceWhole(systemFileCalls(), path, bytes, replaced);
    if (!result.error)
        return {};
    const QString why = errorText(result.error);
    tellFailure(path, why);
    return why;
}

int OpenRegularFileForReading(const QString& path) {
    DWORD error = 0;
    HANDLE file = openRegularFile(systemFileCalls(), path, &error);
    if (file == INVALID_HANDLE_VALUE) {
        errno = errnoFor(error);
        return -1;
    }
    // The descriptor owns the handle from here on: closing it closes both.
    const int fd = ::_open_osfhandle(reinterpret_cast<intptr_t>(file), _O_RDONLY | _O_BINARY);
    if (fd < 0) {
        const int saved = errno;
        systemFileCalls().closeHandle(file);
        errno = saved;
    }
    return fd;
}

} // namespace kestrune::platform
