#pragma once

#include <QString>
#include <string>

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

namespace kestrune::platform::windows_impl {

// Texts cross to the system as UTF-16, NUL-terminated.
std::wstring toWide(const QString& text);
QString fromWide(const wchar_t* text);
QString fromWide(const wchar_t* text, qsizetype length);
// A path as the system's calls take it: backslashes, and whole from a drive or share, so no
// search order and no other folder than the working one decides what it names.
std::wstring systemPath(const QString& path);
// The system's words for an error, with its number ("Access is denied. (error 5)").
QString errorText(DWORD code);

} // namespace kestrune::platform::windows_impl
