#include "LanguageSystem.h"

#include "LanguageText.h"

#include <cstdio>
#include <cwchar>
#include <windows.h>

namespace kestrune::language::system {
namespace {

// The choice lies with the user's other settings of the program, under the key the program
// builds from its fallback language's company and product names. It is fixed here because
// the choice decides the language, so it cannot depend on it.
constexpr wchar_t kChoiceKey[] = L"Software\\Vaskor Security\\Vaskor Kestrune\\Settings";
constexpr char kChoiceKeyText[] =
    "HKEY_CURRENT_USER\\Software\\Vaskor Security\\Vaskor Kestrune\\Settings";
constexpr wchar_t kChoiceValue[] = L"Language";

std::wstring wide(const std::string& utf8) {
    const std::u16string text = utf8ToUtf16(utf8);
    return std::wstring(text.begin(), text.end());
}

std::string narrow(const wchar_t* text, std::size_t length) {
    return utf16ToUtf8(std::u16string_view(reinterpret_cast<const char16_t*>(text), length));
}

std::string errorText(DWORD error) {
    wchar_t* message = nullptr;
    const DWORD length = ::FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, error, 0, reinterpret_cast<wchar_t*>(&message), 0, nullptr);
    std::string text = message ? narrow(message, length) : std::string();
    if (message)
        ::LocalFree(message);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' '))
        text.pop_back();
    return (text.empty() ? std::string("unknown reason") : text) + " (error " +
           std::to_string(error) + ")";
}

char16_t folded(char16_t c) {
    return c >= u'A' && c <= u'Z' ? char16_t(c - u'A' + u'a') : c;
}

// '*' and '?' against a whole name, without regard to case as the file system compares
// names. The system's own search also matches generated short names; this check keeps
// only the names the user sees.
bool wildcardMatch(std::u16string_view pattern, std::u16string_view name) {
    std::size_t p = 0, n = 0, star = std::u16string_view::npos, resume = 0;
    while (n < name.size()) {
        if (p < pattern.size() && (pattern[p] == u'?' || folded(pattern[p]) == folded(name[n]))) {
            ++p;
            ++n;
        } else if (p < pattern.size() && pattern[p] == u'*') {
            star = p++;
            resume = n;
        } else if (star != std::u16string_view::npos) {
            p = star + 1;
            n = ++resume;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == u'*')
        ++p;
    return p == pattern.size();
}

} // namespace

Library::Library(const std::string& path) : handle_(nullptr) {
    // Searching the file's own folder first needs a full path.
    const std::wstring given = wide(path);
    std::wstring full(MAX_PATH, L'\0');
    DWORD length = ::GetFullPathNameW(given.c_str(), DWORD(full.size()), full.data(), nullptr);
    if (length >= full.size()) {
        full.resize(length);
        length = ::GetFullPathNameW(given.c_str(), DWORD(full.size()), full.data(), nullptr);
    }
    if (length == 0 || length >= full.size()) {
        problem_ = "no full path: " + errorText(::GetLastError());
        return;
    }
    full.resize(length);
    // A file the loader cannot map must not make the system ask the user about it.
    DWORD previous = 0;
    ::SetThreadErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX, &previous);
    handle_ = ::LoadLibraryExW(full.c_str(), nullptr,
                               LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR | LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (!handle_)
        problem_ = errorText(::GetLastError());
    ::SetThreadErrorMode(previous, nullptr);
}

Library::~Library() {
    if (handle_)
        ::FreeLibrary(static_cast<HMODULE>(handle_));
}

void* Library::symbol(const char* name) const {
    if (!handle_)
        return nullptr;
    return reinterpret_cast<void*>(::GetProcAddress(static_cast<HMODULE>(handle_), name));
}

std::vector<std::string> matchingFileNames(const std::string& directory,
                                           const std::string& pattern) {
    std::vector<std::string> names;
    // A pattern that names a folder would list files outside the component's own.
    if (pattern.empty() || pattern.find_first_of("/\\:") != std::string::npos)
        return names;
    const std::u16string wanted = utf8ToUtf16(pattern);
    WIN32_FIND_DATAW found{};
    const HANDLE search = ::FindFirstFileW(wide(joinPath(directory, pattern)).c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) {
        // No file of that name is no failure; a folder that cannot be read is.
        if (const DWORD error = ::GetLastError(); error != ERROR_FILE_NOT_FOUND)
            std::fprintf(stderr, "Kestrune: the language files in %s cannot be listed: %s\n",
                         directory.c_str(), errorText(error).c_str());
        return names;
    }
    do {
        if (found.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE))
            continue;
        const std::size_t length = std::wcslen(found.cFileName);
        const std::u16string_view name(reinterpret_cast<const char16_t*>(found.cFileName), length);
        if (wildcardMatch(wanted, name))
            names.push_back(utf16ToUtf8(name));
    } while (::FindNextFileW(search, &found));
    ::FindClose(search);
    return names;
}

std::string joinPath(const std::string& directory, const std::string& name) {
    if (directory.empty() || directory.back() == '\\' || directory.back() == '/')
        return directory + name;
    return directory + "\\" + name;
}

std::optional<std::string> readChoice() {
    // A code is a few letters; a longer value is no code anyway.
    wchar_t buffer[64];
    DWORD size = sizeof buffer;
    const LSTATUS status = ::RegGetValueW(HKEY_CURRENT_USER, kChoiceKey, kChoiceValue,
                                          RRF_RT_REG_SZ, nullptr, buffer, &size);
    if (status == ERROR_SUCCESS)
        return narrow(buffer, std::wcslen(buffer));
    if (status != ERROR_FILE_NOT_FOUND && status != ERROR_MORE_DATA &&
        status != ERROR_UNSUPPORTED_TYPE)
        std::fprintf(stderr, "Kestrune: the language choice in %s could not be read: %s\n",
                     kChoiceKeyText, errorText(DWORD(status)).c_str());
    return std::nullopt;
}

bool writeChoice(const std::string& code) {
    const std::wstring text = wide(code);
    HKEY key = nullptr;
    LSTATUS status = ::RegCreateKeyExW(HKEY_CURRENT_USER, kChoiceKey, 0, nullptr, 0, KEY_SET_VALUE,
                                       nullptr, &key, nullptr);
    if (status == ERROR_SUCCESS) {
        // One value is replaced as a whole: a reader sees the old code or the new one.
        status = ::RegSetValueExW(key, kChoiceValue, 0, REG_SZ,
                                  reinterpret_cast<const BYTE*>(text.c_str()),
                                  DWORD((text.size() + 1) * sizeof(wchar_t)));
        ::RegCloseKey(key);
    }
    if (status == ERROR_SUCCESS)
        return true;
    std::fprintf(stderr, "Kestrune: the language choice was not saved in %s: %s\n", kChoiceKeyText,
                 errorText(DWORD(status)).c_str());
    return false;
}

std::string sessionLanguage() {
    return PRIMARYLANGID(::GetUserDefaultUILanguage()) == LANG_GERMAN ? "DE" : "NTV";
}

} // namespace kestrune::language::system
