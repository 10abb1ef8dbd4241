#pragma once

#include <optional>
#include <string>
#include <sys/types.h>

namespace kestrune::platform {

// Who a root process works for when a user started it through sudo or pkexec, so that what
// it writes into that user's folders stays theirs. Kept free of the toolkit: the language
// component stores the user's language choice through it too.
struct InvokingUser {
    uid_t uid = 0;
    gid_t gid = 0;
    std::string home; // from the password database, never from $HOME
};

// That user while the process runs as root through sudo (SUDO_UID, SUDO_GID) or pkexec
// (PKEXEC_UID); nothing when not root, when root started it, or when the user is unknown.
std::optional<InvokingUser> ElevatedFor();

// The settings and data folders of the user the program works for: $XDG_CONFIG_HOME and
// $XDG_DATA_HOME, else below $HOME. Elevated, always below the invoking user's home, since
// sudo may keep the environment of either side. Empty when no home is known.
std::string UserConfigHome();
std::string UserDataHome();

// Creates a folder and its missing parents (mode before umask); each folder created in the
// invoking user's folders is handed to that user. True when the folder exists afterwards.
bool CreateUserFolders(const std::string& path, mode_t mode = 0755);

// Hands a file or folder this process has just created to the invoking user when it lies
// in that user's folders (below their home, or in a folder they own). True when nothing
// was to be done or the hand-over succeeded.
bool GiveToInvokingUser(const std::string& path);

} // namespace kestrune::platform
