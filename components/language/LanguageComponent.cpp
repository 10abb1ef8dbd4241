#include "LanguageComponent.h"

#include "LanguageSystem.h"
#include "LanguageText.h"

#include "base/SharedObjectCheck.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

namespace kestrune::language {
namespace {

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

std::nullopt_t leftOut(const std::string& path, const std::string& reason) {
    std::fprintf(stderr, "Kestrune: language file %s left out: %s\n", path.c_str(), reason.c_str());
    return std::nullopt;
}

bool validUtf8(const std::string& text) {
    return utf16ToUtf8(utf8ToUtf16(text)) == text;
}

} // namespace

std::optional<LanguageFileInfo> probeLanguageFile(const std::string& path) {
    // A damaged file in the folder would fault inside the loader; it is simply no language.
    std::string problem = platform::SharedObjectProblem(path);
    if (!problem.empty())
        return leftOut(path, problem);
    system::Library library(path);
    if (!library.problem().empty())
        return leftOut(path, library.problem());
    auto lookup = reinterpret_cast<KestruneGetStringByString>(library.symbol("GetStringByString"));
    if (!lookup || !library.symbol("GetBitmapId"))
        return leftOut(path, lookup ? "no entry GetBitmapId" : "no entry GetStringByString");
    LanguageFileInfo info;
    info.path = path;
    const auto code = ask(lookup, u"Language_codes");
    if (!code || !isPlausibleCode(*code))
        return leftOut(path, "no usable language code");
    info.code = *code;
    info.name = ask(lookup, u"Language").value_or(info.code);
    info.version = ask(lookup, u"Language_version").value_or(u"");
    return info;
}

std::vector<LanguageFileInfo> scanLanguageFiles(const std::string& directory,
                                                const std::string& pattern) {
    std::vector<LanguageFileInfo> found;
    std::vector<std::string> names = system::matchingFileNames(directory, pattern);
    std::erase_if(names, [](const std::string& name) { return !validUtf8(name); });
    std::sort(names.begin(), names.end());
    for (const std::string& name : names) {
        const std::string path = system::joinPath(directory, name);
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

bool isPlausibleCode(std::u16string_view code) {
    if (code.empty() || code.size() >= KESTRUNE_LANGUAGE_CODE_UNITS)
        return false;
    return std::all_of(code.begin(), code.end(), [](char16_t c) {
        return (c >= u'A' && c <= u'Z') || (c >= u'a' && c <= u'z') || (c >= u'0' && c <= u'9') ||
               c == u'_' || c == u'-';
    });
}

std::optional<std::u16string> readStoredChoice() {
    const std::optional<std::string> stored = system::readChoice();
    if (!stored)
        return std::nullopt;
    std::string line = stored->substr(0, stored->find('\n'));
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ' || line.back() == '\t'))
        line.pop_back();
    std::u16string code = utf8ToUtf16(line);
    if (!isPlausibleCode(code))
        return std::nullopt;
    return code;
}

bool storeChoice(const std::u16string& code) {
    return isPlausibleCode(code) && system::writeChoice(utf16ToUtf8(code));
}

std::u16string environmentLanguage() {
    return utf8ToUtf16(system::sessionLanguage());
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
