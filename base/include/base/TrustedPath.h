#pragma once

#include <string>
#include <vector>

namespace kestrune::platform {

// Why root, working for another user, must not let this path decide what it loads, runs or
// writes: empty when the path and every folder above it belong to root and no one else can
// change them. A sticky folder that others may write to (/tmp) is fine above an entry of
// root's, never as the entry itself; a link is followed only where root alone could have
// placed it; a part that does not exist yet is fine below a folder no one else can write to.
// Relative paths are taken from the working folder. Kept free of the toolkit: components
// check their own paths with it.
std::string UntrustedPathReason(const std::string& path);

// An environment variable that names a path deciding what the program loads, runs or
// writes. Elevated for a user (ElevatedFor), the path must be trusted; otherwise refusal
// says which variable, which value and why, and the value must not be used at all. The
// first refusal of each variable is written to standard error and the system log.
struct EnvironmentPath {
    bool set = false;
    std::string value;
    std::string refusal;
};
EnvironmentPath TrustedEnvironmentPath(const char* variable);

// Root takes settings and keys only from files that root alone can change, along the whole
// path: otherwise whoever can change them decides what root installs or trusts. Empty when
// the file may be used (or the process is not root, or the file is not there below a folder
// of root's); else why not, told once on standard error and in the system log. what names
// the file's role in that message ("the machine hive").
std::string RootSettingsFileRefusal(const std::string& path, const char* what);

// Run before anything else when the program starts: elevated for a user, the variables
// through which the environment could make root load or run something of another user's
// (the toolkit's plugin folders, font configuration, the folder for temporary files, PATH
// entries) are removed unless they name trusted places, each with a message. False, after
// a message for each, when a variable of the program's own (KESTRUNE_REGISTRY_DIR,
// KESTRUNE_SIMULATED_DISKS) is refused: the program must not start.
bool SettleElevatedEnvironment();

// Run first of all by a program that acts for a user as root (RootForUserSign): a list of
// variables to refuse always misses the next one (a bus address that names a program, a
// library's configuration that loads a module, a key log file), so everything goes but the
// system's PATH, the locale, the terminal's type and size, who the process works for and the
// program's own KESTRUNE_* settings (SettleElevatedEnvironment checks those). HOME becomes
// root's own. Returns the names dropped (none when not acting for a user).
std::vector<std::string> KeepOnlyKnownEnvironment();

} // namespace kestrune::platform
