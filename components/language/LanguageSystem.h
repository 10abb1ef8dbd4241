// What the language component needs from the operating system, one file per system
// (linux/, windows/): loading a language file, listing a folder, and the place that keeps
// the user's choice. Paths and names are UTF-8 on every system.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace kestrune::language::system {

// A language file loaded for a look at its entries; unloaded with the object.
class Library {
public:
    explicit Library(const std::string& path);
    ~Library();
    Library(const Library&) = delete;
    Library& operator=(const Library&) = delete;
    void* symbol(const char* name) const;
    // Why the file did not load; empty when it did.
    const std::string& problem() const { return problem_; }

private:
    void* handle_;
    std::string problem_;
};

// Names of the regular files directly in directory (empty: the current folder) that match
// pattern ('*' and '?', as the system's own file dialogs match them). Unsorted.
std::vector<std::string> matchingFileNames(const std::string& directory,
                                           const std::string& pattern);

// directory and name joined by the system's separator, which directory may already end in.
std::string joinPath(const std::string& directory, const std::string& name);

// The raw text of the stored choice; nothing when there is none or it cannot be read.
std::optional<std::string> readChoice();
// Replaces the stored choice as a whole; reports a failure with its reason on stderr.
bool writeChoice(const std::string& code);

// The language of the user's session as one of the shipped codes ("DE" or "NTV").
std::string sessionLanguage();

} // namespace kestrune::language::system
