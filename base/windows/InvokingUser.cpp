#include "base/InvokingUser.h"

#include <filesystem>
#include <shlobj.h>
#include <windows.h>

#include "WideText.h"

namespace kestrune::platform {
namespace {

std::string knownFolder(REFKNOWNFOLDERID id) {
    PWSTR path = nullptr;
    std::string folder;
    if (SUCCEEDED(::SHGetKnownFolderPath(id, KF_FLAG_DEFAULT, nullptr, &path)))
        folder = utf8(path);
    ::CoTaskMemFree(path);
    return folder;
}

} // namespace

// Windows raises the user's own token (the manifest asks for administrator rights): the
// program never works for someone else, so nobody's rights need to be taken on.
std::optional<InvokingUser> ElevatedFor() {
    return std::nullopt;
}

std::string RootForUserSign() {
    return {};
}

std::string UserConfigHome() {
    return knownFolder(FOLDERID_RoamingAppData);
}

std::string UserDataHome() {
    return knownFolder(FOLDERID_LocalAppData);
}

ActingAs::ActingAs(const InvokingUser*) {}

ActingAs::~ActingAs() = default;

void ActingAs::restore() {}

bool InvokingUserMayWrite(const std::string&) {
    return true;
}

bool CreateUserFolders(const std::string& path, mode_t) {
    std::error_code error;
    std::filesystem::create_directories(std::filesystem::u8path(path), error);
    return !error && std::filesystem::is_directory(std::filesystem::u8path(path), error);
}

} // namespace kestrune::platform
