#include "base/UserFiles.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <io.h>
#include <string>
#include <sys/stat.h>
#include <windows.h>

#include "WideText.h"

namespace kestrune::platform {
namespace {

bool plainName(const std::string& name) {
    return !name.empty() && name != "." && name != ".." &&
           name.find_first_of("/\\:") == std::string::npos;
}

int errnoOf(DWORD error) {
    switch (error) {
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS:
        return EEXIST;
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
        return ENOENT;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
        return EACCES;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
        return ENOSPC;
    case ERROR_WRITE_PROTECT:
        return EROFS;
    default:
        return EIO;
    }
}

// Writes the bytes into a new file of this name and makes them durable; 0 or an errno value.
int writeNewFile(const std::wstring& path, const char* data, std::size_t size) {
    HANDLE file = ::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return errnoOf(::GetLastError());
    int error = 0;
    std::size_t done = 0;
    while (!error && done < size) {
        DWORD wrote = 0;
        const DWORD chunk = DWORD(std::min<std::size_t>(size - done, 1u << 30));
        if (!::WriteFile(file, data + done, chunk, &wrote, nullptr) || wrote == 0)
            error = errnoOf(::GetLastError());
        done += wrote;
    }
    if (!error && !::FlushFileBuffers(file))
        error = errnoOf(::GetLastError());
    ::CloseHandle(file);
    if (error)
        ::DeleteFileW(path.c_str());
    return error;
}

} // namespace

FileFolder::FileFolder(const std::string& path, bool create, Rights, mode_t) : path_(path) {
    std::error_code failure;
    const std::filesystem::path place = std::filesystem::u8path(path);
    if (create)
        std::filesystem::create_directories(place, failure);
    // Held open like a descriptor of the folder, so it cannot be renamed away meanwhile.
    HANDLE folder =
        ::CreateFileW(wide(path).c_str(), FILE_LIST_DIRECTORY, FILE_SHARE_READ | FILE_SHARE_WRITE,
                      nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (folder == INVALID_HANDLE_VALUE) {
        error_ = errnoOf(::GetLastError());
        problem_ = path + ": " + std::strerror(error_);
        return;
    }
    fd_ = ::_open_osfhandle(reinterpret_cast<intptr_t>(folder), _O_RDONLY);
    if (fd_ < 0) {
        ::CloseHandle(folder);
        error_ = EMFILE;
        problem_ = path + ": " + std::strerror(error_);
    }
}

FileFolder::~FileFolder() {
    if (fd_ >= 0)
        ::_close(fd_);
}

int FileFolder::openFile(const std::string& name, int flags, mode_t mode) const {
    if (fd_ < 0 || !plainName(name)) {
        errno = fd_ < 0 ? error_ : EINVAL;
        return -1;
    }
    return ::_wopen(wide(path_ + "\\" + name).c_str(), flags | _O_BINARY | _O_NOINHERIT, mode);
}

bool FileFolder::exists(const std::string& name) const {
    if (!plainName(name))
        return true;
    const DWORD attributes = ::GetFileAttributesW(wide(path_ + "\\" + name).c_str());
    return attributes != INVALID_FILE_ATTRIBUTES || ::GetLastError() != ERROR_FILE_NOT_FOUND;
}

std::optional<mode_t> FileFolder::modeOf(const std::string& name) const {
    const DWORD attributes = ::GetFileAttributesW(wide(path_ + "\\" + name).c_str());
    if (!plainName(name) || attributes == INVALID_FILE_ATTRIBUTES)
        return std::nullopt;
    if (attributes & FILE_ATTRIBUTE_DIRECTORY)
        return mode_t(_S_IFDIR | 0755);
    return mode_t(_S_IFREG | ((attributes & FILE_ATTRIBUTE_READONLY) ? 0444 : 0644));
}

int FileFolder::createExclusively(const std::string& name, const char* data, std::size_t size,
                                  mode_t) const {
    if (fd_ < 0)
        return error_;
    if (!plainName(name))
        return EINVAL;
    return writeNewFile(wide(path_ + "\\" + name), data, size);
}

int FileFolder::replace(const std::string& name, const char* data, std::size_t size, mode_t) const {
    if (fd_ < 0)
        return error_;
    if (!plainName(name))
        return EINVAL;
    const std::wstring target = wide(path_ + "\\" + name);
    std::wstring temporary;
    int error = EEXIST;
    for (unsigned attempt = 0; error == EEXIST && attempt < 100; ++attempt) {
        temporary = wide(path_ + "\\." + name + "." + std::to_string(::GetCurrentProcessId()) +
                         "." + std::to_string(attempt) + ".new");
        error = writeNewFile(temporary, data, size);
    }
    if (error)
        return error;
    if (!::MoveFileExW(temporary.c_str(), target.c_str(),
                       MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        error = errnoOf(::GetLastError());
        ::DeleteFileW(temporary.c_str());
    }
    return error;
}

} // namespace kestrune::platform
