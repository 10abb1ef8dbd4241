#include "platform/InvokingUser.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace kestrune::platform {
namespace {

std::string environment(const char* name) {
    const char* value = std::getenv(name);
    return value ? std::string(value) : std::string();
}

std::optional<unsigned long> idFrom(const char* name) {
    const std::string text = environment(name);
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos)
        return std::nullopt;
    errno = 0;
    const unsigned long value = std::strtoul(text.c_str(), nullptr, 10);
    if (errno != 0 || value >= (unsigned long)(uid_t(-1)))
        return std::nullopt;
    return value;
}

struct PasswordEntry {
    gid_t gid = 0;
    std::string home;
};

std::optional<PasswordEntry> lookUp(uid_t uid) {
    long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(size > 0 ? size_t(size) : 16384);
    passwd entry{};
    passwd* found = nullptr;
    while (::getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found) == ERANGE)
        buffer.resize(buffer.size() * 2);
    if (!found || !found->pw_dir || found->pw_dir[0] != '/')
        return std::nullopt;
    return PasswordEntry{found->pw_gid, found->pw_dir};
}

std::string ownHome() {
    std::string home = environment("HOME");
    if (home.empty()) {
        if (const auto entry = lookUp(::getuid()))
            home = entry->home;
    }
    return home;
}

std::string userFolder(const char* variable, const char* belowHome) {
    if (const auto user = ElevatedFor())
        return user->home + belowHome;
    const std::string set = environment(variable);
    if (!set.empty() && set.front() == '/')
        return set;
    const std::string home = ownHome();
    return home.empty() ? std::string() : home + belowHome;
}

std::string parentOf(const std::string& path) {
    const std::size_t slash = path.find_last_of('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string resolved(const std::string& path) {
    char buffer[PATH_MAX];
    return ::realpath(path.c_str(), buffer) ? std::string(buffer) : std::string();
}

bool inFoldersOf(const InvokingUser& user, const std::string& path) {
    const std::string parent = parentOf(path);
    struct stat info {};
    if (::stat(parent.c_str(), &info) == 0 && info.st_uid == user.uid)
        return true;
    const std::string home = resolved(user.home);
    const std::string where = resolved(parent);
    if (home.empty() || where.empty())
        return false;
    return where == home || where.compare(0, home.size() + 1, home + "/") == 0;
}

} // namespace

std::optional<InvokingUser> ElevatedFor() {
    if (::geteuid() != 0)
        return std::nullopt;
    // pkexec clears the environment, so a PKEXEC_UID is its own; sudo's come after.
    std::optional<unsigned long> uid = idFrom("PKEXEC_UID");
    std::optional<unsigned long> gid;
    if (!uid) {
        uid = idFrom("SUDO_UID");
        gid = idFrom("SUDO_GID");
    }
    if (!uid || *uid == 0)
        return std::nullopt;
    const auto entry = lookUp(uid_t(*uid));
    if (!entry)
        return std::nullopt;
    InvokingUser user;
    user.uid = uid_t(*uid);
    user.gid = gid ? gid_t(*gid) : entry->gid;
    user.home = entry->home;
    return user;
}

std::string UserConfigHome() {
    return userFolder("XDG_CONFIG_HOME", "/.config");
}

std::string UserDataHome() {
    return userFolder("XDG_DATA_HOME", "/.local/share");
}

bool CreateUserFolders(const std::string& path, mode_t mode) {
    if (path.empty())
        return false;
    std::size_t at = 0;
    while (at != std::string::npos) {
        at = path.find('/', at + 1);
        const std::string step = path.substr(0, at);
        if (step.empty() || step == "/")
            continue;
        if (::mkdir(step.c_str(), mode) == 0) {
            if (!GiveToInvokingUser(step))
                return false;
        } else if (errno != EEXIST) {
            return false;
        }
    }
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

bool GiveToInvokingUser(const std::string& path) {
    const auto user = ElevatedFor();
    if (!user || !inFoldersOf(*user, path))
        return true;
    // Not through a link: only what this process created is handed over.
    return ::lchown(path.c_str(), user->uid, user->gid) == 0;
}

} // namespace kestrune::platform
