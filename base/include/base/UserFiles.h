#pragma once

#include "base/InvokingUser.h"

#include <cstddef>
#include <optional>
#include <string>
#include <sys/types.h>

namespace kestrune::platform {

// A folder the program keeps files in, opened once with the rights those files are handled
// with, and reached without following any link a user could have planted. Started through
// sudo or pkexec for a user, that is the user's rights, unless the folder is one only root
// can change (see UntrustedPathReason): then, as for a program that runs as itself, the
// process's own. Every operation below names a file directly in the folder and never
// follows a link there when acting for a user. Kept free of the toolkit.
class FileFolder {
public:
    enum class Rights {
        ForTheFolder,  // as above
        InvokingUsers, // always the user's: a place the user chose
    };
    FileFolder(const std::string& path, bool create, Rights rights = Rights::ForTheFolder,
               mode_t mode = 0755);
    ~FileFolder();
    FileFolder(const FileFolder&) = delete;
    FileFolder& operator=(const FileFolder&) = delete;

    bool ok() const { return fd_ >= 0; }
    // errno of the failure, and what failed where ("/home/u/.config: a link, not followed").
    int error() const { return error_; }
    const std::string& problem() const { return problem_; }
    const std::string& path() const { return path_; }
    // A descriptor of the folder for the *at calls (O_PATH: for lookups only).
    int fd() const { return fd_; }
    // True when operations act for the invoking user.
    bool forUser() const { return user_.has_value(); }

    // The folder's rights on this thread while the result lives, for reading files through
    // fd() in the caller's own way.
    [[nodiscard]] ActingAs act() const { return ActingAs(user_ ? &*user_ : nullptr); }

    // Opens a file of the folder with the folder's rights; a link there is never followed
    // for a user. -1 with errno set on failure.
    int openFile(const std::string& name, int flags, mode_t mode = 0) const;
    // Whether the name is taken (by anything, a link included); a name that cannot be
    // looked up counts as taken.
    bool exists(const std::string& name) const;
    // The file's mode bits, when it is there.
    std::optional<mode_t> modeOf(const std::string& name) const;
    // Creates the file with these bytes only when the name is free, and makes them durable.
    // 0, EEXIST when the name is taken, or the errno of the failure, which leaves nothing.
    int createExclusively(const std::string& name, const char* data, std::size_t size,
                          mode_t mode = 0644) const;
    // Puts a whole new file with these bytes in the name's place (a new file renamed over
    // it), durable, with this mode. 0 or the errno of the failure, which leaves the old
    // file as it was.
    int replace(const std::string& name, const char* data, std::size_t size, mode_t mode) const;

private:
    std::optional<InvokingUser> user_;
    bool noFollow_ = false;
    std::string path_;
    int fd_ = -1;
    int error_ = 0;
    std::string problem_;
};

} // namespace kestrune::platform
