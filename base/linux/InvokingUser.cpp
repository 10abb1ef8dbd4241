#include "base/InvokingUser.h"

#include "FolderWalk.h"
#include "base/TrustedPath.h"
#include "base/UserFiles.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/fsuid.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

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
    std::string name;
    std::string home;
};

std::optional<PasswordEntry> lookUp(uid_t uid) {
    long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(size > 0 ? size_t(size) : 16384);
    passwd entry{};
    passwd* found = nullptr;
    while (::getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found) == ERANGE)
        buffer.resize(buffer.size() * 2);
    if (!found || !found->pw_dir || found->pw_dir[0] != '/' || !found->pw_name)
        return std::nullopt;
    return PasswordEntry{found->pw_gid, found->pw_name, found->pw_dir};
}

std::optional<unsigned long> uidOfName(const std::string& name) {
    long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(size > 0 ? size_t(size) : 16384);
    passwd entry{};
    passwd* found = nullptr;
    while (::getpwnam_r(name.c_str(), &entry, buffer.data(), buffer.size(), &found) == ERANGE)
        buffer.resize(buffer.size() * 2);
    if (!found)
        return std::nullopt;
    return found->pw_uid;
}

std::vector<gid_t> groupsOf(const std::string& name, gid_t gid) {
    int count = 16;
    std::vector<gid_t> groups(std::size_t(count), 0);
    while (::getgrouplist(name.c_str(), gid, groups.data(), &count) < 0) {
        groups.resize(std::size_t(count) + 16);
        count = int(groups.size());
    }
    groups.resize(std::size_t(count));
    return groups;
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

// glibc's setgroups() changes every thread of the process; the system call changes only
// the calling one, which is what acting for a user on one thread needs.
int setThreadGroups(const std::vector<gid_t>& groups) {
#ifdef SYS_setgroups32
    const long number = SYS_setgroups32;
#else
    const long number = SYS_setgroups;
#endif
    return int(::syscall(number, groups.size(), groups.data()));
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
    // doas names the user, not the number.
    if (!uid && !environment("DOAS_USER").empty())
        uid = uidOfName(environment("DOAS_USER"));
    if (!uid || *uid == 0)
        return std::nullopt;
    const auto entry = lookUp(uid_t(*uid));
    if (!entry)
        return std::nullopt;
    InvokingUser user;
    user.uid = uid_t(*uid);
    user.gid = gid ? gid_t(*gid) : entry->gid;
    user.name = entry->name;
    user.home = entry->home;
    user.groups = groupsOf(entry->name, user.gid);
    return user;
}

std::string RootForUserSign(uid_t effectiveUid, const char* (*variable)(const char*),
                            const std::string& loginUid) {
    if (effectiveUid != 0)
        return {};
    // Root acting as root through sudo or doas is still root's own session.
    for (const char* name : {"SUDO_UID", "PKEXEC_UID", "DOAS_USER"}) {
        const char* value = variable(name);
        if (value && std::string(value) != "0" && std::string(value) != "root")
            return std::string(name) + "=" + value;
    }
    // The kernel keeps the uid a session was opened with across su and setuid programs;
    // (uid_t)-1 means no login set it (a service, a container).
    std::string text = loginUid;
    while (!text.empty() && (text.back() == '\n' || text.back() == ' '))
        text.pop_back();
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos)
        return {};
    errno = 0;
    const unsigned long long login = std::strtoull(text.c_str(), nullptr, 10);
    if (errno != 0 || login == 0 || login >= (unsigned long long)(uid_t(-1)))
        return {};
    return "login uid " + text;
}

std::string RootForUserSign() {
    std::string loginUid;
    if (const int fd = ::open("/proc/self/loginuid", O_RDONLY | O_CLOEXEC); fd >= 0) {
        char text[32];
        const ssize_t got = ::read(fd, text, sizeof text);
        if (got > 0)
            loginUid.assign(text, std::size_t(got));
        ::close(fd);
    }
    return RootForUserSign(
        ::geteuid(), [](const char* name) -> const char* { return std::getenv(name); }, loginUid);
}

std::string UserConfigHome() {
    return userFolder("XDG_CONFIG_HOME", "/.config");
}

std::string UserDataHome() {
    return userFolder("XDG_DATA_HOME", "/.local/share");
}

ActingAs::ActingAs(const InvokingUser* user) {
    if (!user)
        return;
    const int count = ::getgroups(0, nullptr);
    if (count < 0) {
        error_ = errno;
        return;
    }
    previousGroups_.resize(std::size_t(count));
    if (::getgroups(count, previousGroups_.data()) != count) {
        error_ = errno ? errno : EAGAIN;
        return;
    }
    if (setThreadGroups(user->groups) != 0) {
        error_ = errno;
        return;
    }
    groupsSet_ = true;
    // setfsuid() and setfsgid() answer with the previous value, also when they fail.
    previousGid_ = gid_t(::setfsgid(user->gid));
    previousUid_ = uid_t(::setfsuid(user->uid));
    switched_ = true;
    if (uid_t(::setfsuid(uid_t(-1))) != user->uid || gid_t(::setfsgid(gid_t(-1))) != user->gid) {
        error_ = EPERM;
        restore();
    }
}

ActingAs::~ActingAs() {
    restore();
}

void ActingAs::restore() {
    if (switched_) {
        ::setfsuid(previousUid_);
        ::setfsgid(previousGid_);
        switched_ = false;
    }
    if (groupsSet_) {
        setThreadGroups(previousGroups_);
        groupsSet_ = false;
    }
}

bool InvokingUserMayWrite(const std::string& path) {
    const auto user = ElevatedFor();
    if (!user)
        return true;
    const ActingAs acting(&*user);
    if (acting.failed())
        return false;
    // faccessat2 with AT_EACCESS checks with this thread's file-system identity; without it
    // (an old kernel) the answer is no. Not opening the file: closing a file opened for
    // writing would read as a change of the disk folder.
    return ::syscall(SYS_faccessat2, AT_FDCWD, path.c_str(), W_OK,
                     AT_EACCESS | AT_SYMLINK_NOFOLLOW) == 0;
}

bool CreateUserFolders(const std::string& path, mode_t mode) {
    return !path.empty() && FileFolder(path, true, FileFolder::Rights::ForTheFolder, mode).ok();
}

} // namespace kestrune::platform
