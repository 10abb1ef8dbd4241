#include "platform/SystemLibraries.h"

#include "platform/windows/ModuleCalls.h"

#include <_mingw.h>
#include <cstdlib>

namespace kestrune::platform {
namespace {

using windows_impl::fromWide;
using windows_impl::toWide;

// The system's libraries that the program's disks, volumes and time stamps go through.
const wchar_t* const kSystemLibraries[] = {L"kernel32.dll", L"setupapi.dll", L"winhttp.dll",
                                           L"msvcrt.dll"};

// The file of a library as this process has it loaded, else as the system would load it.
QString libraryFile(const ModuleCalls& calls, const wchar_t* name) {
    wchar_t path[MAX_PATH] = {};
    if (HMODULE loaded = calls.moduleHandle(name)) {
        const DWORD length = calls.moduleFileName(loaded, path, MAX_PATH);
        if (length > 0 && length < MAX_PATH)
            return fromWide(path, length);
    }
    const UINT length = calls.systemDirectory(path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
        return {};
    return fromWide(path, length) + u'\\' + fromWide(name);
}

// The system's own version: the one the system tells its own parts, never the one it tells
// a program that did not declare it knows the newer ones.
QString windowsVersion(const ModuleCalls& calls) {
    using RtlGetVersionFn = LONG(WINAPI*)(OSVERSIONINFOW*);
    HMODULE ntdll = calls.moduleHandle(L"ntdll.dll");
    const auto getVersion = ntdll ? reinterpret_cast<RtlGetVersionFn>(reinterpret_cast<void*>(
                                        calls.procAddress(ntdll, "RtlGetVersion")))
                                  : nullptr;
    OSVERSIONINFOW info{};
    info.dwOSVersionInfoSize = sizeof info;
    if (!getVersion || getVersion(&info) != 0)
        return {};
    return QStringLiteral("%1.%2.%3")
        .arg(info.dwMajorVersion)
        .arg(info.dwMinorVersion)
        .arg(info.dwBuildNumber);
}

} // namespace

QList<LibraryVersion> SystemLibraryVersions() {
    const ModuleCalls& calls = systemModuleCalls();
    QList<LibraryVersion> libraries;
    libraries.append({QStringLiteral("Windows"), windowsVersion(calls)});
    for (const wchar_t* name : kSystemLibraries)
        libraries.append({fromWide(name), fileVersionText(calls, libraryFile(calls, name))});
    // The compiler's runtimes are part of the program's own file.
    libraries.append({QStringLiteral("libstdc++"), QString::number(_GLIBCXX_RELEASE)});
    libraries.append({QStringLiteral("mingw-w64"), QStringLiteral(__MINGW64_VERSION_STR)});
    return libraries;
}

} // namespace kestrune::platform
