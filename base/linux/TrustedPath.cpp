#include "base/TrustedPath.h"

#include "FolderWalk.h"
#include "base/InvokingUser.h"
#include "base/SystemLog.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <pwd.h>
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

// Whom the messages name: the user when known, else what showed that root acts for one.
std::string forWhom(const std::string& sign) {
    const auto user = ElevatedFor();
    return user ? "user " + user->name : "a user (" + sign + ")";
}

bool keptVariable(const std::string& name) {
    static const std::set<std::string> kept = {"TERM",       "COLUMNS",  "LINES",    "LANG",
                                               "LANGUAGE",   "SUDO_UID", "SUDO_GID", "SUDO_USER",
                                               "PKEXEC_UID", "DOAS_USER"};
    return kept.count(name) > 0 || name.rfind("LC_", 0) == 0 || name.rfind("KESTRUNE_", 0) == 0;
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

std::string RootSettingsFileRefusal(const std::string& path, const char* what) {
    if (::geteuid() != 0 || path.empty())
        return {};
    const std::string why = UntrustedPathReason(path);
    if (why.empty())
        return {};
    const std::string refusal = std::string("Kestrune: ") + what + " " + path +
                                " is not used: running as root, the program takes settings only "
                                "from files that root alone can change (" +
                                why + ")";
    tellOnce(refusal, refusal);
    return refusal;
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
    const std::string sign = RootForUserSign();
    if (sign.empty())
        return result;
    const std::string why = UntrustedPathReason(result.value);
    if (why.empty())
        return result;
    result.refusal = refusalIntro(variable, result.value) + " refused: running as root for " +
                     forWhom(sign) +
                     ", the program takes no path that others than root can change (" + why + ")";
    tellOnce(std::string(variable) + "=" + result.value, result.refusal);
    return result;
}

bool SettleElevatedEnvironment() {
    const std::string sign = RootForUserSign();
    if (sign.empty())
        return true;
    const std::string whom = forWhom(sign);
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
                     refusalIntro(variable, list) + " ignored: running as root for " + whom +
                         ", nothing is loaded from where others than root can " + "change it (" +
                         why + ")");
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
                                          "\" of PATH is skipped: running as root for " + whom +
                                          ", no program is run from there (" + why + ")");
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

namespace kestrune::platform {

std::vector<std::string> KeepOnlyKnownEnvironment() {
    std::vector<std::string> dropped;
    if (RootForUserSign().empty())
        return dropped;
    std::vector<std::pair<std::string, std::string>> kept;
    for (char** entry = environ; entry && *entry; ++entry) {
        const std::string text = *entry;
        const std::size_t equals = text.find('=');
        const std::string name = text.substr(0, equals);
        if (equals != std::string::npos && keptVariable(name))
            kept.emplace_back(name, text.substr(equals + 1));
        else if (name != "PATH" && name != "HOME") // replaced below, not lost
            dropped.push_back(name);
    }
    ::clearenv();
    for (const auto& [name, value] : kept)
        ::setenv(name.c_str(), value.c_str(), 1);
    ::setenv("PATH", kSystemPath, 1);
    if (const passwd* root = ::getpwuid(0); root && root->pw_dir)
        ::setenv("HOME", root->pw_dir, 1);
    std::sort(dropped.begin(), dropped.end());
    dropped.erase(std::unique(dropped.begin(), dropped.end()), dropped.end());
    return dropped;
}

} // namespace kestrune::platform
