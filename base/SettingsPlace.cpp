#include "base/SettingsPlace.h"

#include "base/TrustedPath.h"
#include "base/UserFiles.h"

namespace kestrune::platform {
namespace {

// The folder KESTRUNE_REGISTRY_DIR names, when it names one.
SettingsPlace registryFolder() {
    const EnvironmentPath folder = TrustedEnvironmentPath("KESTRUNE_REGISTRY_DIR");
    if (!folder.set || folder.value.empty())
        return {};
    return {folder.value, !folder.refusal.empty()};
}

SettingsPlace inFolder(SettingsPlace folder, const char* file) {
    if (!folder.path.empty())
        folder.path += std::string("/") + file;
    return folder;
}

} // namespace

SettingsPlace UserSettingsFolder() {
    if (SettingsPlace folder = registryFolder(); !folder.path.empty())
        return folder;
    const std::string config = UserConfigHome();
    return {config.empty() ? std::string() : config + "/kestrune"};
}

SettingsPlace UserHiveFile() {
    return inFolder(UserSettingsFolder(), "user.reg");
}

SettingsPlace MachineHiveFile() {
    SettingsPlace hive{KESTRUNE_MACHINE_HIVE};
    if (SettingsPlace folder = registryFolder(); !folder.path.empty())
        hive = inFolder(folder, "machine.reg");
    // Its values decide what root trusts and installs.
    if (!hive.refused && !RootSettingsFileRefusal(hive.path, "the machine hive").empty())
        hive.refused = true;
    return hive;
}

} // namespace kestrune::platform
