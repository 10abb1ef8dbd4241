#include "base/TrustedPath.h"

#include "FolderWalk.h"
#include "base/InvokingUser.h"
#include "base/SystemLog.h"

#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <set>
#include <unistd.h>
#include <vector>

namespace kestrune::platform {
namespace {

// Each refusal is told once per process: the settings are read again on every access.
void tellOnce(const std::string& key, const std::string& text) {
    static std::mutex mutex;
    static std::set<std::string> told;
    {
        std::lock_guard guard(mutex);
        if (!told.insert(key).second)
            return;
    }
    LogWarning(text);
}

std::vector<std::string> split(const std::string& list) {
    std::vector<std::string> parts;
    std::size_t at = 0;
    for (;;) {
        const std::size_t colon = list.find(':', at);
        parts.push_back(list.substr(at, colon == std::string::npos ? colon : colon - at));
        if (colon == std::string::npos)
            return parts;
        at = colon + 1;
    }
}

// Why an entry of a search list is not root's alone. An empty entry is the working folder.
std::string listEntryReason(const std::string& entry) {
    if (entry.empty() || entry.front() != '/')
        return "\"" + entry + "\" is relative to the working folder";
    return UntrustedPathReason(entry);
}

std::string refusalIntro(const char* variable, const std::string& value) {
    return std::string("Kestrune: ") + variable + "=" + value;
}

// Variables through which the environment could make the toolkit or a library load, run or
// write something: each names a folder or file, or a list of folders.
constexpr const char* kSteeringVariables[] = {
    "QT_PLUGIN_PATH",  "QT_QPA_PLATFORM_PLUGIN_PATH", "QT_QPA_FONTDIR", "FONTCONFIG_FILE",
    "FONTCONFIG_PATH", "FONTCONFIG_SYSROOT",          "TMPDIR",
};

constexpr const char* kSystemPath = "/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin";

} // namespace

std::string UntrustedPathReason(const std::string& path) {
    linux_impl::WalkRules rules;
    rules.followAnyLink = false;
    rules.onlyRoots = true;
    rules.lastMayBeFile = true;
    const linux_impl::WalkEnd end = linux_impl::walkPath(path, rules);
    if (end.fd >= 0) {
        ::close(end.fd);
        return {};
    }
    return end.missingBelowRootsOwn ? std::string() : end.problem;
}

EnvironmentPath TrustedEnvironmentPath(const char* variable) {
    EnvironmentPath result;
    const char* value = std::getenv(variable);
    if (!value)
        return result;
    result.set = true;
    result.value = value;
    // Empty names no place (nothing simulated, the usual settings).
    if (result.value.empty())
        return result;
    const auto user = ElevatedFor();
    if (!user)
        return result;
    const std::string why = UntrustedPathReason(result.value);
    if (why.empty())
        return result;
    result.refusal = refusalIntro(variable, result.value) + " refused: running as root for user " +
                     user->name + ", the program takes no path that others than root can change (" +
                     why + ")";
    tellOnce(std::string(variable) + "=" + result.value, result.refusal);
    return result;
}

bool SettleElevatedEnvironment() {
    const auto user = ElevatedFor();
    if (!user)
        return true;
    for (const char* variable : kSteeringVariables) {
        const char* value = std::getenv(variable);
        if (!value)
            continue;
        const std::string list = value;
        for (const std::string& entry : split(list)) {
            const std::string why = listEntryReason(entry);
            if (why.empty())
                continue;
            tellOnce(std::string(variable) + "=" + list,
                     refusalIntro(variable, list) + " ignored: running as root for user " +
                         user->name + ", nothing is loaded from where others than root can " +
                         "change it (" + why + ")");
            ::unsetenv(variable);
            break;
        }
    }
    // Programs such as mkfs.fat are looked up along PATH: only root's own folders stay.
    const char* path = std::getenv("PATH");
    std::string kept;
    for (const std::string& entry : split(path ? path : "")) {
        const std::string why = listEntryReason(entry);
        if (why.empty()) {
            kept += (kept.empty() ? "" : ":") + entry;
        } else if (path && *path) {
            tellOnce("PATH:" + entry, std::string("Kestrune: ") + "the entry \"" + entry +
                                          "\" of PATH is skipped: running as root for user " +
                                          user->name + ", no program is run from there (" + why +
                                          ")");
        }
    }
    ::setenv("PATH", kept.empty() ? kSystemPath : kept.c_str(), 1);

    bool usable = true;
    for (const char* variable : {"KESTRUNE_REGISTRY_DIR", "KESTRUNE_SIMULATED_DISKS"})
        if (!TrustedEnvironmentPath(variable).refusal.empty())
            usable = false;
    return usable;
}

} // namespace kestrune::platform
