// UTF-8 <-> UTF-16 for the Win32 calls of the base, which takes its texts as std::string.
#pragma once

#include <string>
#include <windows.h>

namespace kestrune::platform {

inline std::wstring wide(const std::string& utf8) {
    const int size = ::MultiByteToWideChar(CP_UTF8, 0, utf8.c_str(), -1, nullptr, 0);
    std::wstring text(size > 0 ? std::size_t(size) : 1, L'\0');
    if (size > 0)
        ::MultiByteToWideChar(CP_UTF8, 0, utf8.c_str(), -1, text.data(), size);
    text.resize(text.size() - 1);
    return text;
}

inline std::string utf8(const wchar_t* text) {
    const int size = ::WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    std::string bytes(size > 0 ? std::size_t(size) : 1, '\0');
    if (size > 0)
        ::WideCharToMultiByte(CP_UTF8, 0, text, -1, bytes.data(), size, nullptr, nullptr);
    bytes.resize(bytes.size() - 1);
    return bytes;
}

} // namespace kestrune::platform
