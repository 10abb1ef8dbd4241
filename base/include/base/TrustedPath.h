#pragma once

#include <string>

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

// Run before anything else when the program starts: elevated for a user, the variables
// through which the environment could make root load or run something of another user's
// (the toolkit's plugin folders, font configuration, the folder for temporary files, PATH
// entries) are removed unless they name trusted places, each with a message. False, after
// a message for each, when a variable of the program's own (KESTRUNE_REGISTRY_DIR,
// KESTRUNE_SIMULATED_DISKS) is refused: the program must not start.
bool SettleElevatedEnvironment();

} // namespace kestrune::platform
