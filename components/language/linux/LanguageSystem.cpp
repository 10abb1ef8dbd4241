#include "LanguageSystem.h"
#include "LanguageComponent.h"

#include "base/SettingsPlace.h"
#include "base/UserFiles.h"

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

std::string choiceDirectory() {
    const platform::SettingsPlace folder = platform::UserSettingsFolder();
    // A folder that may not be used keeps no choice at all.
    return folder.refused ? std::string() : folder.path;
}

std::string choiceFilePath() {
    const std::string dir = choiceDirectory();
    return dir.empty() ? std::string() : dir + "/language";
}

namespace system {

Library::Library(const std::string& path) : handle_(dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL)) {
    if (!handle_) {
        const char* why = dlerror();
        problem_ = why ? why : "not loaded";
    }
}

Library::~Library() {
    if (handle_)
        dlclose(handle_);
}

void* Library::symbol(const char* name) const {
    return handle_ ? dlsym(handle_, name) : nullptr;
}

std::vector<std::string> matchingFileNames(const std::string& directory,
                                           const std::string& pattern) {
    namespace fs = std::filesystem;
    std::vector<std::string> names;
    std::error_code ec;
    fs::directory_iterator it(directory.empty() ? fs::path(".") : fs::path(directory), ec);
    if (ec) {
        std::fprintf(stderr, "Kestrune: the language files in %s cannot be listed: %s\n",
                     directory.c_str(), ec.message().c_str());
        return names;
    }
    for (const fs::directory_entry& entry : it) {
        std::error_code typeError;
        if (!entry.is_regular_file(typeError))
            continue;
        std::string name = entry.path().filename().string();
        if (fnmatch(pattern.c_str(), name.c_str(), FNM_PERIOD) == 0)
            names.push_back(std::move(name));
    }
    return names;
}

std::string joinPath(const std::string& directory, const std::string& name) {
    if (directory.empty() || directory.back() == '/')
        return directory + name;
    return directory + "/" + name;
}

std::optional<std::string> readChoice() {
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
    return std::string(buffer, std::size_t(got));
}

bool writeChoice(const std::string& code) {
    const std::string dir = choiceDirectory();
    if (dir.empty())
        return false;
    // Started through sudo or pkexec, the choice is written with the rights of the user who
    // made it, in their own folder.
    const platform::FileFolder folder(dir, true);
    const std::string content = code + "\n";
    const int error =
        folder.ok() ? folder.replace("language", content.data(), content.size(), 0600) : 0;
    if (folder.ok() && !error)
        return true;
    std::fprintf(stderr, "Kestrune: the language choice was not saved in %s: %s\n", dir.c_str(),
                 folder.ok() ? std::strerror(error) : folder.problem().c_str());
    return false;
}

std::string sessionLanguage() {
    for (const char* name : {"LANGUAGE", "LC_ALL", "LC_MESSAGES", "LANG"}) {
        const char* set = std::getenv(name);
        std::string value = set ? set : "";
        if (value.empty())
            continue;
        // LANGUAGE is a priority list; its first entry counts.
        value = value.substr(0, value.find(':'));
        const bool german =
            value.size() >= 2 && (value[0] == 'd' || value[0] == 'D') &&
            (value[1] == 'e' || value[1] == 'E') &&
            (value.size() == 2 || !std::isalpha(static_cast<unsigned char>(value[2])));
        return german ? "DE" : "NTV";
    }
    return "NTV";
}

} // namespace system
} // namespace kestrune::language
