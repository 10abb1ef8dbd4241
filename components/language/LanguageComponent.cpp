#include "LanguageComponent.h"

#include "LanguageText.h"

#include "base/SettingsPlace.h"
#include "base/SharedObjectCheck.h"
#include "base/UserFiles.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <fcntl.h>
#include <filesystem>
#include <fnmatch.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kestrune::language {
namespace {

namespace fs = std::filesystem;

class Library {
public:
    explicit Library(const std::string& path)
        : handle_(dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL)) {}
    ~Library() {
        if (handle_)
            dlclose(handle_);
    }
    Library(const Library&) = delete;
    Library& operator=(const Library&) = delete;
    void* symbol(const char* name) const { return handle_ ? dlsym(handle_, name) : nullptr; }

private:
    void* handle_;
};

// The file's answer, or nothing when it echoed the key (its way of saying "unknown").
std::optional<std::u16string> ask(KestruneGetStringByString lookup, std::u16string_view key) {
    const std::u16string keyCopy(key);
    char16_t* answer = lookup(1, keyCopy.c_str());
    if (!answer)
        return std::nullopt;
    std::u16string text(utf16View(answer));
    std::free(answer);
    if (text == key)
        return std::nullopt;
    return text;
}

std::string getenvString(const char* name) {
    const char* value = std::getenv(name);
    return value ? std::string(value) : std::string();
}

bool validUtf8(const std::string& text) {
    return utf16ToUtf8(utf8ToUtf16(text)) == text;
}

} // namespace

std::optional<LanguageFileInfo> probeLanguageFile(const std::string& path) {
    // A damaged file in the folder would fault inside the loader; it is simply no language.
    if (!platform::SharedObjectProblem(path).empty())
        return std::nullopt;
    Library library(path);
    auto lookup = reinterpret_cast<KestruneGetStringByString>(library.symbol("GetStringByString"));
    if (!lookup || !library.symbol("GetBitmapId"))
        return std::nullopt;
    LanguageFileInfo info;
    info.path = path;
    info.fileName = fs::path(path).filename().string();
    const auto code = ask(lookup, u"Language_codes");
    if (!code || !isPlausibleCode(*code))
        return std::nullopt;
    info.code = *code;
    info.name = ask(lookup, u"Language").value_or(info.code);
    info.version = ask(lookup, u"Language_version").value_or(u"");
    return info;
}

std::vector<LanguageFileInfo> scanLanguageFiles(const std::string& directory,
                                                const std::string& pattern) {
    std::vector<LanguageFileInfo> found;
    std::error_code ec;
    const fs::path folder = directory.empty() ? fs::path(".") : fs::path(directory);
    fs::directory_iterator it(folder, ec);
    if (ec)
        return found;
    std::vector<std::string> names;
    for (const fs::directory_entry& entry : it) {
        std::error_code typeError;
        if (!entry.is_regular_file(typeError))
            continue;
        const std::string name = entry.path().filename().string();
        if (fnmatch(pattern.c_str(), name.c_str(), FNM_PERIOD) == 0 && validUtf8(name))
            names.push_back(name);
    }
    std::sort(names.begin(), names.end());
    std::string prefix = directory;
    if (!prefix.empty() && prefix.back() != '/')
        prefix.push_back('/');
    for (const std::string& name : names) {
        const std::string path = prefix + name;
        if (utf8ToUtf16(path).size() >= KESTRUNE_LANGUAGE_PATH_UNITS)
            continue;
        if (auto info = probeLanguageFile(path))
            found.push_back(std::move(*info));
    }
    // Row 0 is what a caller falls back to, so the fallback language goes there.
    std::stable_sort(found.begin(), found.end(),
                     [](const LanguageFileInfo& a, const LanguageFileInfo& b) {
                         return equalsIgnoringAsciiCase(a.code, u"NTV") &&
                                !equalsIgnoringAsciiCase(b.code, u"NTV");
                     });
    return found;
}

std::string choiceDirectory() {
    const platform::SettingsPlace folder = platform::UserSettingsFolder();
    // A folder that may not be used keeps no choice at all.
    return folder.refused ? std::string() : folder.path;
}

std::string choiceFilePath() {
    const std::string dir = choiceDirectory();
    return dir.empty() ? std::string() : dir + "/language";
}

bool isPlausibleCode(std::u16string_view code) {
    if (code.empty() || code.size() >= KESTRUNE_LANGUAGE_CODE_UNITS)
        return false;
    return std::all_of(code.begin(), code.end(), [](char16_t c) {
        return (c >= u'A' && c <= u'Z') || (c >= u'a' && c <= u'z') || (c >= u'0' && c <= u'9') ||
               c == u'_' || c == u'-';
    });
}

std::optional<std::u16string> readStoredChoice() {
    const std::string dir = choiceDirectory();
    if (dir.empty())
        return std::nullopt;
    const platform::FileFolder folder(dir, false);
    const int fd = folder.openFile("language", O_RDONLY | O_NONBLOCK | O_NOCTTY);
    if (fd < 0)
        return std::nullopt;
    // A code is a few letters; anything longer on its first line is no code anyway.
    char buffer[256];
    struct stat info {};
    ssize_t got = -1;
    if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode)) {
        do
            got = ::read(fd, buffer, sizeof buffer);
        while (got < 0 && errno == EINTR);
    }
    ::close(fd);
    if (got < 0)
        return std::nullopt;
    std::string line(buffer, std::size_t(got));
    line = line.substr(0, line.find('\n'));
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ' || line.back() == '\t'))
        line.pop_back();
    std::u16string code = utf8ToUtf16(line);
    if (!isPlausibleCode(code))
        return std::nullopt;
    return code;
}

bool storeChoice(const std::u16string& code) {
    const std::string dir = choiceDirectory();
    if (dir.empty() || !isPlausibleCode(code))
        return false;
    // Started through sudo or pkexec, the choice is written with the rights of the user who
    // made it, in their own folder.
    const platform::FileFolder folder(dir, true);
    const std::string content = utf16ToUtf8(code) + "\n";
    const int error =
        folder.ok() ? folder.replace("language", content.data(), content.size(), 0600) : 0;
    if (folder.ok() && !error)
        return true;
    std::fprintf(stderr, "Kestrune: the language choice was not saved in %s: %s\n", dir.c_str(),
                 folder.ok() ? std::strerror(error) : folder.problem().c_str());
    return false;
}

std::u16string environmentLanguage() {
    for (const char* name : {"LANGUAGE", "LC_ALL", "LC_MESSAGES", "LANG"}) {
        std::string value = getenvString(name);
        if (value.empty())
            continue;
        // LANGUAGE is a priority list; its first entry counts.
        value = value.substr(0, value.find(':'));
        const bool german =
            value.size() >= 2 && (value[0] == 'd' || value[0] == 'D') &&
            (value[1] == 'e' || value[1] == 'E') &&
            (value.size() == 2 || !std::isalpha(static_cast<unsigned char>(value[2])));
        return german ? u"DE" : u"NTV";
    }
    return u"NTV";
}

std::int32_t LanguageComponent::amount(const std::string& directory, const std::string& pattern) {
    const auto files = scanLanguageFiles(directory, pattern);
    std::lock_guard guard(mutex_);
    scanned_ = true;
    directory_ = directory;
    pattern_ = pattern;
    lastAmount_ = static_cast<std::int32_t>(files.size());
    return lastAmount_;
}

std::int32_t LanguageComponent::fill(const std::string& directory, const std::string& pattern,
                                     KestruneLanguageEntry* rows) {
    const auto files = scanLanguageFiles(directory, pattern);
    std::lock_guard guard(mutex_);
    std::size_t capacity = 0;
    if (scanned_ && directory_ == directory && pattern_ == pattern)
        capacity = static_cast<std::size_t>(lastAmount_);
    scanned_ = true;
    directory_ = directory;
    pattern_ = pattern;
    if (!rows)
        return 0;
    const std::size_t count = std::min(capacity, files.size());
    for (std::size_t i = 0; i < count; ++i) {
        KestruneLanguageEntry& row = rows[i];
        copyToBuffer(row.code, KESTRUNE_LANGUAGE_CODE_UNITS, files[i].code);
        copyToBuffer(row.auxiliary1, KESTRUNE_LANGUAGE_AUX1_UNITS, files[i].name);
        copyToBuffer(row.path, KESTRUNE_LANGUAGE_PATH_UNITS, utf8ToUtf16(files[i].path));
        copyToBuffer(row.auxiliary2, KESTRUNE_LANGUAGE_AUX2_UNITS, files[i].version);
    }
    return static_cast<std::int32_t>(count);
}

std::u16string LanguageComponent::current() const {
    if (auto stored = readStoredChoice())
        return *stored;
    return environmentLanguage();
}

bool LanguageComponent::setCurrent(std::u16string_view code) {
    std::string directory, pattern;
    {
        std::lock_guard guard(mutex_);
        if (!scanned_)
            return false;
        directory = directory_;
        pattern = pattern_;
    }
    for (const LanguageFileInfo& file : scanLanguageFiles(directory, pattern)) {
        if (equalsIgnoringAsciiCase(file.code, code))
            return storeChoice(file.code);
    }
    return false;
}

} // namespace kestrune::language
