#include "base/TrustedPath.h"

#include <aclapi.h>
#include <cstdlib>
#include <sddl.h>
#include <windows.h>

#include "WideText.h"

namespace kestrune::platform {
namespace {

std::string accountOf(PSID sid) {
    LPSTR text = nullptr;
    std::string name = "an unknown account";
    if (::ConvertSidToStringSidA(sid, &text)) {
        name = text;
        ::LocalFree(text);
    }
    return name;
}

// Administrators, the system and the installer service may change what the system runs.
bool isAdministration(PSID sid) {
    for (const WELL_KNOWN_SID_TYPE type :
         {WinBuiltinAdministratorsSid, WinLocalSystemSid, WinCreatorOwnerSid}) {
        if (::IsWellKnownSid(sid, type))
            return true;
    }
    LPSTR text = nullptr;
    bool installer = false;
    if (::ConvertSidToStringSidA(sid, &text)) {
        installer = std::string(text).rfind("S-1-5-80-956008885-", 0) == 0; // TrustedInstaller
        ::LocalFree(text);
    }
    return installer;
}

constexpr DWORD kChanging = FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_WRITE_EA |
                            FILE_WRITE_ATTRIBUTES | WRITE_DAC | WRITE_OWNER | DELETE |
                            GENERIC_WRITE | GENERIC_ALL;

// Who else than the administration may change this one file or folder.
std::string changeableBy(const std::wstring& path) {
    PACL dacl = nullptr;
    PSID owner = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    const DWORD status = ::GetNamedSecurityInfoW(
        path.c_str(), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
        &owner, nullptr, &dacl, nullptr, &descriptor);
    if (status != ERROR_SUCCESS)
        return "its rights cannot be read (error " + std::to_string(status) + ")";
    std::string who;
    if (!isAdministration(owner))
        who = "owned by " + accountOf(owner);
    else if (!dacl)
        who = "no access list: anybody may change it";
    for (DWORD i = 0; who.empty() && dacl && i < dacl->AceCount; ++i) {
        void* ace = nullptr;
        if (!::GetAce(dacl, i, &ace))
            continue;
        const auto* header = static_cast<ACE_HEADER*>(ace);
        if (header->AceType != ACCESS_ALLOWED_ACE_TYPE || (header->AceFlags & INHERIT_ONLY_ACE))
            continue;
        const auto* allowed = static_cast<ACCESS_ALLOWED_ACE*>(ace);
        PSID sid = const_cast<DWORD*>(&allowed->SidStart);
        if ((allowed->Mask & kChanging) && !isAdministration(sid))
            who = "changeable by " + accountOf(sid);
    }
    ::LocalFree(descriptor);
    return who;
}

} // namespace

std::string UntrustedPathReason(const std::string& path) {
    std::wstring current = wide(path);
    if (::GetFileAttributesW(current.c_str()) == INVALID_FILE_ATTRIBUTES)
        return path + ": not there";
    // The file and every folder above it: whoever may change a folder may replace the file.
    for (;;) {
        const DWORD attributes = ::GetFileAttributesW(current.c_str());
        if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT))
            return std::string(path) + ": a link on its way, not followed";
        if (const std::string who = changeableBy(current); !who.empty())
            return path + ": " + who;
        const std::size_t cut = current.find_last_of(L"\\/");
        if (cut == std::wstring::npos || cut < 3)
            return {};
        current.resize(cut);
    }
}

// The window runs with the user's own token, raised: the user's environment is theirs to set.
EnvironmentPath TrustedEnvironmentPath(const char* variable) {
    EnvironmentPath result;
    if (const char* value = std::getenv(variable)) {
        result.set = true;
        result.value = value;
    }
    return result;
}

std::string RootSettingsFileRefusal(const std::string&, const char*) {
    return {};
}

bool SettleElevatedEnvironment() {
    return true;
}

std::vector<std::string> KeepOnlyKnownEnvironment() {
    return {};
}

} // namespace kestrune::platform
