#include "base/UserFiles.h"

#include "FolderWalk.h"
#include "base/TrustedPath.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kestrune::platform {
namespace {

bool plainName(const std::string& name) {
    return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos;
}

int writeAll(int fd, const char* data, std::size_t size) {
    while (size > 0) {
        const ssize_t done = ::write(fd, data, size);
        if (done < 0 && errno == EINTR)
            continue;
        if (done <= 0)
            return done < 0 ? errno : ENOSPC;
        data += done;
        size -= std::size_t(done);
    }
    return 0;
}

// Writes, makes durable and closes; the errno of the first failure.
int fillAndClose(int fd, const char* data, std::size_t size) {
    int error = writeAll(fd, data, size);
    if (!error && ::fsync(fd) != 0)
        error = errno;
    if (::close(fd) != 0 && !error)
        error = errno;
    return error;
}

std::string temporaryName(const std::string& name) {
    static const char letters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    unsigned char random[6] = {};
    if (::getrandom(random, sizeof random, 0) != ssize_t(sizeof random)) {
        const unsigned long mix = (unsigned long)::getpid() * 2654435761UL ^ (unsigned long)&random;
        for (std::size_t i = 0; i < sizeof random; ++i)
            random[i] = (unsigned char)(mix >> (i * 5));
    }
    std::string temp = "." + name + ".";
    for (unsigned char byte : random)
        temp.push_back(letters[byte % (sizeof letters - 1)]);
    return temp;
}

} // namespace

FileFolder::FileFolder(const std::string& path, bool create, Rights rights, mode_t mode)
    : path_(path) {
    const auto elevated = ElevatedFor();
    if (elevated) {
        noFollow_ = true;
        if (rights == Rights::InvokingUsers || !UntrustedPathReason(path).empty())
            user_ = elevated;
    }
    const ActingAs acting(user_ ? &*user_ : nullptr);
    if (acting.failed()) {
        error_ = acting.error();
        problem_ = "the rights of user " + std::to_string(user_->uid) +
                   " cannot be taken on: " + std::strerror(error_);
        return;
    }
    linux_impl::WalkRules rules;
    rules.followAnyLink = !elevated;
    rules.create = create;
    rules.mode = mode;
    const linux_impl::WalkEnd end = linux_impl::walkPath(path, rules);
    fd_ = end.fd;
    error_ = end.error;
    problem_ = end.problem;
}

FileFolder::~FileFolder() {
    if (fd_ >= 0)
        ::close(fd_);
}

int FileFolder::openFile(const std::string& name, int flags, mode_t mode) const {
    if (fd_ < 0 || !plainName(name)) {
        errno = fd_ < 0 ? error_ : EINVAL;
        return -1;
    }
    const ActingAs acting = act();
    if (acting.failed()) {
        errno = acting.error();
        return -1;
    }
    return ::openat(fd_, name.c_str(), flags | O_CLOEXEC | (noFollow_ ? O_NOFOLLOW : 0), mode);
}

bool FileFolder::exists(const std::string& name) const {
    if (fd_ < 0 || !plainName(name))
        return true;
    const ActingAs acting = act();
    struct stat info {};
    return acting.failed() || ::fstatat(fd_, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0 ||
           errno != ENOENT;
}

std::optional<mode_t> FileFolder::modeOf(const std::string& name) const {
    if (fd_ < 0 || !plainName(name))
        return std::nullopt;
    const ActingAs acting = act();
    struct stat info {};
    if (acting.failed() || ::fstatat(fd_, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0 ||
        !S_ISREG(info.st_mode))
        return std::nullopt;
    return info.st_mode & 07777;
}

int FileFolder::createExclusively(const std::string& name, const char* data, std::size_t size,
                                  mode_t mode) const {
    const int fd = openFile(name, O_WRONLY | O_CREAT | O_EXCL, mode);
    if (fd < 0)
        return errno;
    const int error = fillAndClose(fd, data, size);
    if (error) {
        // An empty, partial or not durable file is no file.
        const ActingAs acting = act();
        ::unlinkat(fd_, name.c_str(), 0);
    }
    return error;
}

int FileFolder::replace(const std::string& name, const char* data, std::size_t size,
                        mode_t mode) const {
    if (!plainName(name))
        return EINVAL;
    std::string temp;
    int fd = -1;
    for (int attempt = 0; fd < 0 && attempt < 100; ++attempt) {
        temp = temporaryName(name);
        fd = openFile(temp, O_WRONLY | O_CREAT | O_EXCL, 0600);
        if (fd < 0 && errno != EEXIST)
            return errno;
    }
    if (fd < 0)
        return EEXIST;
    // The mode asked for, whatever the umask says.
    int error = ::fchmod(fd, mode) == 0 ? 0 : errno;
    if (error)
        ::close(fd);
    else
        error = fillAndClose(fd, data, size);
    const ActingAs acting = act();
    if (!error && acting.failed())
        error = acting.error();
    if (!error && ::renameat(fd_, temp.c_str(), fd_, name.c_str()) != 0)
        error = errno;
    if (error) {
        ::unlinkat(fd_, temp.c_str(), 0);
        return error;
    }
    // The rename itself is durable only with the folder.
    const int folder = ::openat(fd_, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder >= 0) {
        ::fsync(folder);
        ::close(folder);
    }
    return 0;
}

} // namespace kestrune::platform
