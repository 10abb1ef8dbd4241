#include "MsiInstall.h"

#include <sddl.h>

#include <cstdio>

namespace kestrune::update {
namespace {

// Another name is tried when one is taken: anyone may make folders in the program data.
constexpr int kFolderAttempts = 8;

std::string utf8(const std::wstring& text) {
    const int length = ::WideCharToMultiByte(CP_UTF8, 0, text.data(), int(text.size()), nullptr, 0,
                                             nullptr, nullptr);
    std::string result(size_t(length), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, text.data(), int(text.size()), result.data(), length, nullptr,
                          nullptr);
    return result;
}

std::wstring programData(const MsiCalls& calls, std::string* error) {
    PWSTR folder = nullptr;
    const HRESULT result = calls.knownFolderPath(FOLDERID_ProgramData, 0, nullptr, &folder);
    std::wstring path = SUCCEEDED(result) && folder ? folder : L"";
    if (folder)
        calls.freeTaskMemory(folder);
    if (path.empty())
        *error = "the program data folder is not known (" + windowsErrorText(DWORD(result)) + ")";
    return path;
}

std::wstring randomName(const MsiCalls& calls) {
    unsigned char bytes[8] = {};
    if (!BCRYPT_SUCCESS(
            calls.randomBytes(nullptr, bytes, sizeof bytes, BCRYPT_USE_SYSTEM_PREFERRED_RNG)))
        return {};
    wchar_t name[40] = {};
    std::swprintf(name, 40, L"Kestrune-update-%02x%02x%02x%02x%02x%02x%02x%02x", bytes[0], bytes[1],
                  bytes[2], bytes[3], bytes[4], bytes[5], bytes[6], bytes[7]);
    return name;
}

// What msiexec's exit code says, as Windows Installer documents it.
MsiOutcome outcomeOf(DWORD code) {
    MsiOutcome outcome;
    switch (code) {
    case ERROR_SUCCESS:
        outcome.installed = true;
        return outcome;
    case ERROR_SUCCESS_REBOOT_REQUIRED:
    case ERROR_SUCCESS_REBOOT_INITIATED:
        outcome.installed = outcome.restartNeeded = true;
        return outcome;
    case ERROR_INSTALL_USEREXIT:
        outcome.error = "the installation was cancelled";
        break;
    case ERROR_INSTALL_ALREADY_RUNNING:
        outcome.error = "another installation is under way; try again when it has finished";
        break;
    case ERROR_INSTALL_PACKAGE_OPEN_FAILED:
    case ERROR_INSTALL_PACKAGE_INVALID:
        outcome.error = "Windows Installer could not open the package";
        break;
    case ERROR_PRODUCT_VERSION:
        outcome.error = "another version of the program is installed and stays";
        break;
    case ERROR_INSTALL_FAILURE:
        outcome.error = "the installation failed and was undone";
        break;
    default:
        outcome.error = "msiexec failed";
    }
    outcome.error += " (msiexec exit code " + std::to_string(code) + ")";
    return outcome;
}

} // namespace

std::string windowsErrorText(DWORD code) {
    wchar_t* text = nullptr;
    const DWORD length = ::FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, code, 0, reinterpret_cast<LPWSTR>(&text), 0, nullptr);
    std::wstring message = length && text ? std::wstring(text, length) : L"";
    if (text)
        ::LocalFree(text);
    while (!message.empty() && (message.back() == L'\n' || message.back() == L'\r' ||
                                message.back() == L' ' || message.back() == L'.'))
        message.pop_back();
    const std::string number = "error " + std::to_string(code);
    return message.empty() ? number : utf8(message) + " (" + number + ")";
}

const MsiCalls& systemMsiCalls() {
    static const MsiCalls calls{
        &::SHGetKnownFolderPath,
        &::CoTaskMemFree,
        &::ConvertStringSecurityDescriptorToSecurityDescriptorW,
        &::LocalFree,
        &::BCryptGenRandom,
        &::CreateDirectoryW,
        &::CopyFileW,
        &::DeleteFileW,
        &::RemoveDirectoryW,
        &::GetSystemDirectoryW,
        &::CreateProcessW,
        &::WaitForSingleObject,
        &::GetExitCodeProcess,
        &::CloseHandle,
        &::GetLastError,
    };
    return calls;
}

AdminFolder::AdminFolder(const MsiCalls& calls) : calls_(calls) {
    const std::wstring base = programData(calls, &error_);
    if (base.empty())
        return;
    SECURITY_ATTRIBUTES attributes{sizeof attributes, nullptr, FALSE};
    if (!calls.securityFromText(kAdminOnlySecurity, SDDL_REVISION_1,
                                &attributes.lpSecurityDescriptor, nullptr)) {
        error_ =
            "the folder's security could not be set up: " + windowsErrorText(calls.getLastError());
        return;
    }
    for (int attempt = 0; attempt < kFolderAttempts; ++attempt) {
        const std::wstring name = randomName(calls);
        if (name.empty()) {
            error_ = "no name could be drawn for the installation folder";
            break;
        }
        const std::wstring candidate = base + L"\\" + name;
        // Made here, or not at all: a folder someone else made could be theirs to change.
        if (calls.createDirectory(candidate.c_str(), &attributes)) {
            path_ = candidate;
            break;
        }
        if (const DWORD code = calls.getLastError(); code != ERROR_ALREADY_EXISTS) {
            error_ = utf8(candidate) + " could not be made: " + windowsErrorText(code);
            break;
        }
        error_ = "every name tried in " + utf8(base) + " was taken";
    }
    calls.localFree(attributes.lpSecurityDescriptor);
    if (!path_.empty())
        error_.clear();
}

AdminFolder::~AdminFolder() {
    for (const std::wstring& file : files_)
        calls_.deleteFile(file.c_str());
    if (!path_.empty())
        calls_.removeDirectory(path_.c_str());
}

std::wstring AdminFolder::copyIn(const std::wstring& from, const std::wstring& name,
                                 std::string* error) {
    if (path_.empty() || name.find_first_of(L"\\/:\"") != std::wstring::npos) {
        *error = path_.empty() ? error_ : "\"" + utf8(name) + "\" is no file name";
        return {};
    }
    const std::wstring to = path_ + L"\\" + name;
    if (!calls_.copyFile(from.c_str(), to.c_str(), TRUE)) {
        *error = utf8(from) + " could not be copied to " + utf8(to) + ": " +
                 windowsErrorText(calls_.getLastError());
        return {};
    }
    files_.push_back(to);
    return to;
}

MsiOutcome runMsiexec(const MsiCalls& calls, const std::wstring& package) {
    MsiOutcome outcome;
    wchar_t system[MAX_PATH] = {};
    const UINT length = calls.systemDirectory(system, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) {
        outcome.error = "the system folder is not known: " + windowsErrorText(calls.getLastError());
        return outcome;
    }
    if (package.find(L'"') != std::wstring::npos) {
        outcome.error = "the package path " + utf8(package) + " cannot be quoted";
        return outcome;
    }
    // By its full path, never through a search.
    const std::wstring program = std::wstring(system) + L"\\msiexec.exe";
    std::wstring command = L"\"" + program + L"\" /i \"" + package + L"\" /qn";
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!calls.createProcess(program.c_str(), command.data(), nullptr, nullptr, FALSE,
                             CREATE_NO_WINDOW, nullptr, system, &startup, &process)) {
        outcome.error =
            utf8(program) + " could not be started: " + windowsErrorText(calls.getLastError());
        return outcome;
    }
    calls.closeHandle(process.hThread);
    DWORD code = 0;
    const bool ended = calls.waitForObject(process.hProcess, INFINITE) == WAIT_OBJECT_0 &&
                       calls.exitCodeOfProcess(process.hProcess, &code);
    const DWORD why = ended ? 0 : calls.getLastError();
    calls.closeHandle(process.hProcess);
    if (!ended) {
        outcome.error = "the end of msiexec could not be awaited: " + windowsErrorText(why);
        return outcome;
    }
    return outcomeOf(code);
}

} // namespace kestrune::update
