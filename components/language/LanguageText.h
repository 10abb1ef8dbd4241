// Text helpers shared by the language component and the language files. Plain C++: the
// components must not drag a toolkit into the programs that load them.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <unordered_map>

namespace kestrune::language {

// Invalid sequences become U+FFFD, so a damaged table still shows readable text.
std::u16string utf8ToUtf16(std::string_view text);
std::string utf16ToUtf8(std::u16string_view text);

// Length of a NUL-terminated UTF-16 string; 0 for null.
std::size_t utf16Length(const char16_t* text);
std::u16string_view utf16View(const char16_t* text);

// A malloc'd, NUL-terminated copy the receiver frees; null only when memory runs out.
char16_t* mallocCopy(std::u16string_view text);

// Copies text into a caller's buffer of capacity units (terminator included), cutting it
// to fit. Returns false when it had to be cut or there was no room at all.
bool copyToBuffer(char16_t* buffer, std::size_t capacity, std::u16string_view text);

// A text table in UTF-8: one "key=value" per line; blank lines and lines starting with
// '#' or ';' are skipped; spaces around key and value are dropped; in values "\n", "\t"
// and "\\" stand for a line break, a tab and a backslash. A later key replaces an earlier.
struct TextTable {
    std::unordered_map<std::u16string, std::u16string> entries;
    // 1-based number of the first line that is neither blank, a comment nor "key=value";
    // 0 when there is none.
    std::size_t firstBadLine = 0;
};
TextTable parseTextTable(std::string_view utf8);

bool equalsIgnoringAsciiCase(std::u16string_view a, std::u16string_view b);

} // namespace kestrune::language
