#pragma once

#include <string>

namespace kestrune::platform {

// Where the program keeps its settings, decided here alone for the program and the
// components. KESTRUNE_REGISTRY_DIR, when set, holds both hives and the language choice;
// refused is set when that variable names a folder that may not be used (working for
// another user, see TrustedEnvironmentPath), and then nothing there may be read or
// written. An empty path: no such place (no home is known).
struct SettingsPlace {
    std::string path;
    bool refused = false;
};

// The folder of the user's hive and language choice: KESTRUNE_REGISTRY_DIR, else kestrune/
// in the user's settings folder (the invoking user's when started through sudo or pkexec).
SettingsPlace UserSettingsFolder();
// user.reg in that folder.
SettingsPlace UserHiveFile();
// machine.reg in KESTRUNE_REGISTRY_DIR, else the installation's machine hive
// (/etc/kestrune/machine.reg).
SettingsPlace MachineHiveFile();

} // namespace kestrune::platform
