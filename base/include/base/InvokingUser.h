#pragma once

#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

#ifdef _WIN32
// Windows knows no numeric users; the types keep the one interface of both systems.
using uid_t = unsigned int;
using gid_t = unsigned int;
#endif

namespace kestrune::platform {

// Who a root process works for when a user started it through sudo or pkexec, so that what
// it does in that user's folders is done with that user's rights. Kept free of the toolkit:
// the language component stores the user's language choice through it too.
struct InvokingUser {
    uid_t uid = 0;
    gid_t gid = 0;
    std::string name;
    std::string home;          // from the password database, never from $HOME
    std::vector<gid_t> groups; // every group the user is a member of, gid among them
};

// That user while the process runs as root through sudo (SUDO_UID, SUDO_GID), pkexec
// (PKEXEC_UID) or doas (DOAS_USER); nothing when not root, when root started it, or when
// the user is unknown.
std::optional<InvokingUser> ElevatedFor();

// What shows that a process running as root works on behalf of a user rather than in root's
// own session: SUDO_UID, PKEXEC_UID or DOAS_USER set, or a login uid that is neither root's
// nor unset (a root shell opened from a user's session). Empty when none does, or when the
// effective uid is not root. The first form decides from what it is given, so that each way
// can be tried without becoming it; loginUid is the text of /proc/self/loginuid.
std::string RootForUserSign(uid_t effectiveUid, const char* (*variable)(const char*),
                            const std::string& loginUid);
std::string RootForUserSign();

// The settings and data folders of the user the program works for: $XDG_CONFIG_HOME and
// $XDG_DATA_HOME, else below $HOME. Elevated, always below the invoking user's home, since
// sudo may keep the environment of either side. Empty when no home is known.
std::string UserConfigHome();
std::string UserDataHome();

// While it lives, the file accesses of the calling thread carry the user's rights: their
// file-system user and group and their groups, so neither root's rights nor root's group
// grant anything. Only this thread changes; other threads go on as root. Null: nothing
// changes. When failed(), nothing changed and nothing may be done for the user.
class ActingAs {
public:
    explicit ActingAs(const InvokingUser* user);
    ~ActingAs();
    ActingAs(const ActingAs&) = delete;
    ActingAs& operator=(const ActingAs&) = delete;

    bool failed() const { return error_ != 0; }
    int error() const { return error_; }

private:
    void restore();

    bool switched_ = false;
    bool groupsSet_ = false;
    uid_t previousUid_ = 0;
    gid_t previousGid_ = 0;
    std::vector<gid_t> previousGroups_;
    int error_ = 0;
};

// Whether the user this process works for could write the file themselves; true when it
// works for no one. A simulated disk is a file: erasing one as root must give that user no
// more than they had.
bool InvokingUserMayWrite(const std::string& path);

// Creates a folder and its missing parents (mode before umask) with the rights its place
// calls for (see FileFolder). True when the folder exists afterwards.
bool CreateUserFolders(const std::string& path, mode_t mode = 0755);

} // namespace kestrune::platform
