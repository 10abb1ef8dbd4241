// Installing a checked update package on Windows: the program runs elevated, so the package
// is copied into a fresh folder only administrators and the system can change, checked
// there again by the caller, and handed to the system's own msiexec.
#pragma once

#include <windows.h>

#include <bcrypt.h>
#include <shlobj.h>

#include <string>
#include <vector>

namespace kestrune::update {

struct MsiCalls {
    HRESULT(WINAPI* knownFolderPath)(REFKNOWNFOLDERID, DWORD, HANDLE, PWSTR*);
    void(WINAPI* freeTaskMemory)(LPVOID);
    BOOL(WINAPI* securityFromText)(LPCWSTR, DWORD, PSECURITY_DESCRIPTOR*, PULONG);
    HLOCAL(WINAPI* localFree)(HLOCAL);
    NTSTATUS(WINAPI* randomBytes)(BCRYPT_ALG_HANDLE, PUCHAR, ULONG, ULONG);
    BOOL(WINAPI* createDirectory)(LPCWSTR, LPSECURITY_ATTRIBUTES);
    BOOL(WINAPI* copyFile)(LPCWSTR, LPCWSTR, BOOL);
    BOOL(WINAPI* deleteFile)(LPCWSTR);
    BOOL(WINAPI* removeDirectory)(LPCWSTR);
    UINT(WINAPI* systemDirectory)(LPWSTR, UINT);
    BOOL(WINAPI* createProcess)
    (LPCWSTR, LPWSTR, LPSECURITY_ATTRIBUTES, LPSECURITY_ATTRIBUTES, BOOL, DWORD, LPVOID, LPCWSTR,
     LPSTARTUPINFOW, LPPROCESS_INFORMATION);
    DWORD(WINAPI* waitForObject)(HANDLE, DWORD);
    BOOL(WINAPI* exitCodeOfProcess)(HANDLE, LPDWORD);
    BOOL(WINAPI* closeHandle)(HANDLE);
    DWORD(WINAPI* getLastError)();
};
const MsiCalls& systemMsiCalls();

// Only the system and the administrators, nothing inherited from the folder above.
inline constexpr wchar_t kAdminOnlySecurity[] = L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)";

// A folder made for one installation in the machine's program data, removed with what was
// copied into it when it goes.
class AdminFolder {
public:
    explicit AdminFolder(const MsiCalls& calls);
    ~AdminFolder();
    AdminFolder(const AdminFolder&) = delete;
    AdminFolder& operator=(const AdminFolder&) = delete;

    const std::wstring& path() const { return path_; } // empty when it could not be made
    const std::string& error() const { return error_; }
    // Copies from into the folder as name; the copy's path, or empty with the reason.
    std::wstring copyIn(const std::wstring& from, const std::wstring& name, std::string* error);

private:
    const MsiCalls& calls_;
    std::wstring path_;
    std::string error_;
    std::vector<std::wstring> files_;
};

struct MsiOutcome {
    bool installed = false;
    bool restartNeeded = false; // installed; the change is complete after a restart
    std::string error;
};
// Runs "<system folder>\msiexec.exe /i package /qn" and waits for it.
MsiOutcome runMsiexec(const MsiCalls& calls, const std::wstring& package);

// The system's message for a Windows error code, in UTF-8, with the code.
std::string windowsErrorText(DWORD code);

} // namespace kestrune::update
