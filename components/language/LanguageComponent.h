// The workings of "VSKLanguage.dll": finding and describing the language files, and keeping
// the user's choice of language. Plain C++ with the standard library.
#pragma once

#include <kestrune/language_abi.h>

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace kestrune::language {

struct LanguageFileInfo {
    std::string path;
    std::u16string code;
    std::u16string name;    // the language's own name ("Deutsch")
    std::u16string version; // the program version the file was built for
};

// Loads one file and asks it for its code, name and version. Nothing when it does not load,
// lacks GetStringByString or GetBitmapId, or has no code that fits the code buffer.
std::optional<LanguageFileInfo> probeLanguageFile(const std::string& path);

// The usable files of directory whose names match pattern ('*' and '?' wildcards):
// the fallback language "NTV" first, then by file name. Files whose path would not fit the
// caller's path buffer are left out, since a cut path names a different file.
std::vector<LanguageFileInfo> scanLanguageFiles(const std::string& directory,
                                                const std::string& pattern);

#ifndef _WIN32
// Where the choice is kept on Linux: a file beside the user's registry hive. (Windows keeps
// it in the user's part of the registry.)
std::string choiceDirectory();
std::string choiceFilePath();
#endif
// The stored code, when the file exists and holds a plausible code.
std::optional<std::u16string> readStoredChoice();
// Atomically replaces the stored code; false when it could not be written.
bool storeChoice(const std::u16string& code);
// "DE" when the environment's language is German, else "NTV".
std::u16string environmentLanguage();
bool isPlausibleCode(std::u16string_view code);

// The component's state across calls: which directory was scanned last and how many rows
// the caller was told to allocate for it.
class LanguageComponent {
public:
    std::int32_t amount(const std::string& directory, const std::string& pattern);
    // Fills at most as many rows as the last amount() for the same directory and pattern
    // reported: that is what the caller allocated, even if files appeared since.
    std::int32_t fill(const std::string& directory, const std::string& pattern,
                      KestruneLanguageEntry* rows);
    std::u16string current() const;
    bool setCurrent(std::u16string_view code);

private:
    mutable std::mutex mutex_;
    bool scanned_ = false;
    std::string directory_;
    std::string pattern_;
    std::int32_t lastAmount_ = 0;
};

} // namespace kestrune::language
