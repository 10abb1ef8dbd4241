#include "FolderWalk.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace kestrune::platform::linux_impl {
namespace {

constexpr int kMaxLinks = 40;

bool othersMayWrite(const struct stat& st) {
    return (st.st_mode & (S_IWGRP | S_IWOTH)) != 0;
}

// No one but root can add, remove, rename or replace this entry of the folder: the sticky
// bit keeps others in a folder they may write to away from what is not theirs.
bool onlyRootMoves(const struct stat& folder, const struct stat& entry) {
    if (folder.st_uid != 0)
        return false;
    if (!othersMayWrite(folder))
        return true;
    return (folder.st_mode & S_ISVTX) != 0 && entry.st_uid == 0;
}

std::string modeText(const struct stat& st) {
    char text[8];
    std::snprintf(text, sizeof text, "%04o", unsigned(st.st_mode & 07777));
    return text;
}

void appendNames(std::deque<std::string>& names, const std::string& path, bool atFront) {
    std::vector<std::string> parts;
    std::size_t at = 0;
    while (at <= path.size()) {
        std::size_t slash = path.find('/', at);
        if (slash == std::string::npos)
            slash = path.size();
        std::string part = path.substr(at, slash - at);
        if (!part.empty() && part != ".")
            parts.push_back(std::move(part));
        at = slash + 1;
    }
    if (atFront)
        names.insert(names.begin(), parts.begin(), parts.end());
    else
        names.insert(names.end(), parts.begin(), parts.end());
}

struct Level {
    int fd;
    struct stat st;
    std::string shown;
};

class Walk {
public:
    explicit Walk(const WalkRules& rules) : rules_(rules) {}
    ~Walk() {
        for (const Level& level : levels_)
            ::close(level.fd);
    }
    Walk(const Walk&) = delete;
    Walk& operator=(const Walk&) = delete;

    WalkEnd run(const std::string& path);

private:
    WalkEnd fail(int error, const std::string& problem) {
        WalkEnd end;
        end.error = error;
        end.problem = problem;
        return end;
    }
    WalkEnd failErrno(int error, const std::string& shown) {
        return fail(error, shown + ": " + std::strerror(error));
    }
    void backToRoot() {
        while (levels_.size() > 1) {
            ::close(levels_.back().fd);
            levels_.pop_back();
        }
    }
    static std::string shownFor(const Level& folder, const std::string& name) {
        return folder.shown + "/" + name;
    }
    // Why this entry of the folder is not root's alone; empty when it is.
    std::string notRootsAlone(const Level& folder, const struct stat& entry,
                              const std::string& shown, bool last) const;

    const WalkRules& rules_;
    std::vector<Level> levels_;
};

std::string Walk::notRootsAlone(const Level& folder, const struct stat& entry,
                                const std::string& shown, bool last) const {
    if (entry.st_uid != 0)
        return shown + " belongs to user " + std::to_string(entry.st_uid) + ", not to root";
    if (!onlyRootMoves(folder.st, entry))
        return (folder.shown.empty() ? std::string("/") : folder.shown) +
               " can be changed by others than root (mode " + modeText(folder.st) + ")";
    if (last && othersMayWrite(entry))
        return shown + " can be changed by others than root (mode " + modeText(entry) + ")";
    return {};
}

WalkEnd Walk::run(const std::string& path) {
    if (path.empty())
        return fail(ENOENT, "an empty path names nothing");
    std::deque<std::string> names;
    if (path.front() != '/') {
        char here[PATH_MAX];
        if (!::getcwd(here, sizeof here))
            return failErrno(errno, "the working folder");
        appendNames(names, here, false);
    }
    appendNames(names, path, false);

    Level root{::open("/", O_PATH | O_DIRECTORY | O_CLOEXEC), {}, std::string()};
    if (root.fd < 0)
        return failErrno(errno, "/");
    levels_.push_back(root);
    if (::fstat(root.fd, &levels_.back().st) != 0)
        return failErrno(errno, "/");
    if (rules_.onlyRoots && (levels_.back().st.st_uid != 0 || othersMayWrite(levels_.back().st)))
        return fail(EACCES, "/ can be changed by others than root");

    int links = 0;
    while (!names.empty()) {
        const std::string name = names.front();
        names.pop_front();
        if (name == "..") {
            if (levels_.size() > 1) {
                ::close(levels_.back().fd);
                levels_.pop_back();
            }
            continue;
        }
        const Level& folder = levels_.back();
        const std::string shown = shownFor(folder, name);
        const bool last = names.empty();
        struct stat entry {};
        if (::fstatat(folder.fd, name.c_str(), &entry, AT_SYMLINK_NOFOLLOW) != 0) {
            const int error = errno;
            if (error == ENOENT && rules_.create) {
                if (::mkdirat(folder.fd, name.c_str(), rules_.mode) != 0 && errno != EEXIST)
                    return failErrno(errno, shown);
                if (::fstatat(folder.fd, name.c_str(), &entry, AT_SYMLINK_NOFOLLOW) != 0)
                    return failErrno(errno, shown);
            } else if (error == ENOENT && rules_.onlyRoots) {
                WalkEnd end = fail(ENOENT, shown +
                                               " does not exist, and others than root may "
                                               "create it (" +
                                               (folder.shown.empty() ? "/" : folder.shown) +
                                               " has mode " + modeText(folder.st) + ")");
                // Every part so far is root's alone; what is missing only root can make.
                end.missingBelowRootsOwn = !othersMayWrite(folder.st);
                return end;
            } else {
                return failErrno(error, shown);
            }
        }
        if (S_ISLNK(entry.st_mode)) {
            if (!rules_.followAnyLink && !(entry.st_uid == 0 && onlyRootMoves(folder.st, entry)))
                return fail(ELOOP, shown + " is a link that another user could have placed: "
                                           "not followed");
            if (++links > kMaxLinks)
                return failErrno(ELOOP, shown);
            std::vector<char> target(std::size_t(entry.st_size > 0 ? entry.st_size : PATH_MAX) + 1);
            const ssize_t length =
                ::readlinkat(folder.fd, name.c_str(), target.data(), target.size());
            if (length < 0)
                return failErrno(errno, shown);
            if (std::size_t(length) >= target.size())
                return failErrno(ENAMETOOLONG, shown);
            const std::string to(target.data(), std::size_t(length));
            if (to.empty())
                return failErrno(ENOENT, shown);
            if (to.front() == '/')
                backToRoot();
            appendNames(names, to, true);
            continue;
        }
        int flags = O_PATH | O_NOFOLLOW | O_CLOEXEC;
        if (!last || !rules_.lastMayBeFile)
            flags |= O_DIRECTORY;
        Level next{::openat(folder.fd, name.c_str(), flags), {}, shown};
        if (next.fd < 0)
            return failErrno(errno, shown);
        levels_.push_back(next);
        Level& opened = levels_.back();
        if (::fstat(opened.fd, &opened.st) != 0)
            return failErrno(errno, shown);
        // What was opened is judged, not what was looked at: it may have been swapped since.
        if (S_ISLNK(opened.st.st_mode))
            return fail(ELOOP, shown + " became a link: not followed");
        if (rules_.onlyRoots) {
            const std::string why =
                notRootsAlone(levels_[levels_.size() - 2], opened.st, shown, last);
            if (!why.empty())
                return fail(EACCES, why);
        }
    }
    WalkEnd end;
    end.fd = levels_.back().fd;
    levels_.pop_back();
    return end;
}

} // namespace

WalkEnd walkPath(const std::string& path, const WalkRules& rules) {
    Walk walk(rules);
    return walk.run(path);
}

} // namespace kestrune::platform::linux_impl
