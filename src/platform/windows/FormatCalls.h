// The Win32 calls of the whole-disk format, in one table, so that tests answer in the
// system's place from what its documentation says (Wine knows neither physical drives'
// partition tables nor volume locks).
#pragma once

#include <windows.h>

#include <string>

namespace kestrune::platform {

struct FormatCalls {
    decltype(&::CreateFileW) createFile;
    decltype(&::CloseHandle) closeHandle;
    decltype(&::DeviceIoControl) deviceIoControl;
    decltype(&::ReadFile) readFile;
    decltype(&::WriteFile) writeFile;
    decltype(&::FlushFileBuffers) flushFileBuffers;
    decltype(&::FindFirstVolumeW) findFirstVolume;
    decltype(&::FindNextVolumeW) findNextVolume;
    decltype(&::FindVolumeClose) findVolumeClose;
    decltype(&::GetSystemWindowsDirectoryW) getSystemWindowsDirectory;
    decltype(&::GetVolumePathNameW) getVolumePathName;
    decltype(&::GetVolumeNameForVolumeMountPointW) getVolumeNameForVolumeMountPoint;
    decltype(&::GetLastError) getLastError;
};
const FormatCalls& systemFormatCalls();

// The errno value a block device reports for a Win32 error met while reading or writing.
int errnoFromWin32(DWORD error);
// The system's own sentence for a Win32 error, without its final period.
std::string win32Text(DWORD error);

} // namespace kestrune::platform
