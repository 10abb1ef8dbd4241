#pragma once

#include "platform/ProgramFile.h"
#include "platform/windows/Win32Text.h"

#include <shellapi.h>

#include <QByteArray>
#include <QString>
#include <optional>

namespace kestrune::platform {

// The system calls through which components are loaded and the program's own file is found
// and read. The program takes the system's own (systemModuleCalls()); tests hand in others
// to play what Wine cannot show.
struct ModuleCalls {
    decltype(&::LoadLibraryExW) loadLibrary;
    decltype(&::GetProcAddress) procAddress;
    decltype(&::FreeLibrary) freeLibrary;
    decltype(&::FindResourceW) findResource;
    decltype(&::LoadResource) loadResource;
    decltype(&::SizeofResource) sizeofResource;
    decltype(&::LockResource) lockResource;
    decltype(&::GetModuleHandleW) moduleHandle;
    decltype(&::GetModuleFileNameW) moduleFileName;
    decltype(&::GetSystemDirectoryW) systemDirectory;
    decltype(&::GetFileVersionInfoSizeW) versionInfoSize;
    decltype(&::GetFileVersionInfoW) versionInfo;
    decltype(&::VerQueryValueW) queryVersion;
    decltype(&::GetCommandLineW) commandLine;
    decltype(&::CommandLineToArgvW) splitCommandLine;
    decltype(&::LocalFree) localFree;
    decltype(&::SearchPathW) searchPath;
    decltype(&::GetLastError) lastError;
};
const ModuleCalls& systemModuleCalls();

// How a component is loaded: from the folder its path names and the system's folder, never
// the working folder or PATH. Null, with the reason in *why, when it cannot be.
HMODULE loadComponentLibrary(const ModuleCalls& calls, const QString& path, QString* why);

// A resource of a loaded module by number and type: the module's own resources, else the
// table the component exports. A bitmap comes as the file it was made from (with its file
// header). Nothing when the module has none; *found tells whether it has one.
QByteArray moduleResource(const ModuleCalls& calls, HMODULE module, int id, const char* type,
                          bool* found = nullptr);

// The version record of the program's file, from its version resource.
ProgramVersionRecord readVersionRecord(const ModuleCalls& calls, const QString& path);
// The file version of a file that has one, "6.1.7601.17514"; empty when it tells none.
QString fileVersionText(const ModuleCalls& calls, const QString& path);
QString executablePath(const ModuleCalls& calls);
std::optional<QString> commandLineProgramName(const ModuleCalls& calls);
QString resolveProgramFile(const ModuleCalls& calls, const QString& name);

} // namespace kestrune::platform
