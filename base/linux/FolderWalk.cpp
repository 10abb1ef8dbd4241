#include "FolderWalk.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <optional>
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
    // Each step returns how the walk ended when it ends there.
    std::optional<WalkEnd> start(const std::string& path);
    std::optional<WalkEnd> step(const std::string& name);
    std::optional<WalkEnd> lookUp(const Level& folder, const std::string& name,
                                  const std::string& shown, struct stat& entry);
    std::optional<WalkEnd> followLink(const Level& folder, const std::string& name,
                                      const std::string& shown, const struct stat& entry);
    std::optional<WalkEnd> descend(const std::string& name, const std::string& shown, bool last);

    const WalkRules& rules_;
    std::vector<Level> levels_;
    std::deque<std::string> names_; // still to walk
    int links_ = 0;
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
    if (auto failed = start(path))
        return *failed;
    while (!names_.empty()) {
        const std::string name = names_.front();
        names_.pop_front();
        if (auto failed = step(name))
            return *failed;
    }
    WalkEnd end;
    end.fd = levels_.back().fd;
    levels_.pop_back();
    return end;
}

// The names to walk, from "/" (the working folder's first for a relative path).
std::optional<WalkEnd> Walk::start(const std::string& path) {
    if (path.empty())
        return fail(ENOENT, "an empty path names nothing");
    if (path.front() != '/') {
        char here[PATH_MAX];
        if (!::getcwd(here, sizeof here))
            return failErrno(errno, "the working folder");
        appendNames(names_, here, false);
    }
    appendNames(names_, path, false);

    Level root{::open("/", O_PATH | O_DIRECTORY | O_CLOEXEC), {}, std::string()};
    if (root.fd < 0)
        return failErrno(errno, "/");
    levels_.push_back(root);
    if (::fstat(root.fd, &levels_.back().st) != 0)
        return failErrno(errno, "/");
    if (rules_.onlyRoots && (levels_.back().st.st_uid != 0 || othersMayWrite(levels_.back().st)))
        return fail(EACCES, "/ can be changed by others than root");
    return std::nullopt;
}

std::optional<WalkEnd> Walk::step(const std::string& name) {
    if (name == "..") {
        if (levels_.size() > 1) {
            ::close(levels_.back().fd);
            levels_.pop_back();
        }
        return std::nullopt;
    }
    const Level& folder = levels_.back();
    const std::string shown = shownFor(folder, name);
    struct stat entry {};
    if (auto failed = lookUp(folder, name, shown, entry))
        return failed;
    if (S_ISLNK(entry.st_mode))
        return followLink(folder, name, shown, entry);
    return descend(name, shown, names_.empty());
}

// The entry as it is now, made first when the rules create what is missing.
std::optional<WalkEnd> Walk::lookUp(const Level& folder, const std::string& name,
                                    const std::string& shown, struct stat& entry) {
    if (::fstatat(folder.fd, name.c_str(), &entry, AT_SYMLINK_NOFOLLOW) == 0)
        return std::nullopt;
    const int error = errno;
    if (error == ENOENT && rules_.create) {
        if (::mkdirat(folder.fd, name.c_str(), rules_.mode) != 0 && errno != EEXIST)
            return failErrno(errno, shown);
        if (::fstatat(folder.fd, name.c_str(), &entry, AT_SYMLINK_NOFOLLOW) != 0)
            return failErrno(errno, shown);
        return std::nullopt;
    }
    if (error == ENOENT && rules_.onlyRoots) {
        WalkEnd end = fail(ENOENT, shown + " does not exist, and others than root may create it (" +
                                       (folder.shown.empty() ? "/" : folder.shown) + " has mode " +
                                       modeText(folder.st) + ")");
        // Every part so far is root's alone; what is missing only root can make.
        end.missingBelowRootsOwn = !othersMayWrite(folder.st);
        return end;
    }
    return failErrno(error, shown);
}

// The link's target takes its place among the names still to walk.
std::optional<WalkEnd> Walk::followLink(const Level& folder, const std::string& name,
                                        const std::string& shown, const struct stat& entry) {
    if (!rules_.followAnyLink && !(entry.st_uid == 0 && onlyRootMoves(folder.st, entry)))
        return fail(ELOOP, shown + " is a link that another user could have placed: "
                                   "not followed");
    if (++links_ > kMaxLinks)
        return failErrno(ELOOP, shown);
    std::vector<char> target(std::size_t(entry.st_size > 0 ? entry.st_size : PATH_MAX) + 1);
    const ssize_t length = ::readlinkat(folder.fd, name.c_str(), target.data(), target.size());
    if (length < 0)
        return failErrno(errno, shown);
    if (std::size_t(length) >= target.size())
        return failErrno(ENAMETOOLONG, shown);
    const std::string to(target.data(), std::size_t(length));
    if (to.empty())
        return failErrno(ENOENT, shown);
    if (to.front() == '/')
        backToRoot();
    appendNames(names_, to, true);
    return std::nullopt;
}

std::optional<WalkEnd> Walk::descend(const std::string& name, const std::string& shown, bool last) {
    int flags = O_PATH | O_NOFOLLOW | O_CLOEXEC;
    if (!last || !rules_.lastMayBeFile)
        flags |= O_DIRECTORY;
    Level next{::openat(levels_.back().fd, name.c_str(), flags), {}, shown};
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
        const std::string why = notRootsAlone(levels_[levels_.size() - 2], opened.st, shown, last);
        if (!why.empty())
            return fail(EACCES, why);
    }
    return std::nullopt;
}

} // namespace

WalkEnd walkPath(const std::string& path, const WalkRules& rules) {
    Walk walk(rules);
    return walk.run(path);
}

} // namespace kestrune::platform::linux_impl
