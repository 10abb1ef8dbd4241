#pragma once

#include "platform/windows/Win32Text.h"

#include <QByteArray>
#include <QString>

#include <aclapi.h>

namespace kestrune::platform {

// The system calls through which the program's records, reports and keys are written and
// read. The program takes the system's own (systemFileCalls()); tests hand in others that
// fail where a full or pulled disk would.
struct FileCalls {
    decltype(&::CreateFileW) createFile;
    decltype(&::WriteFile) writeFile;
    decltype(&::ReadFile) readFile;
    decltype(&::FlushFileBuffers) flushFileBuffers;
    decltype(&::MoveFileExW) moveFile;
    decltype(&::DeleteFileW) deleteFile;
    decltype(&::CloseHandle) closeHandle;
    decltype(&::GetFileType) fileType;
    decltype(&::GetFileInformationByHandle) fileInformation;
    decltype(&::GetFileInformationByHandleEx) fileInformationEx;
    decltype(&::SetFileInformationByHandle) setFileInformation;
    decltype(&::GetFileAttributesW) fileAttributes;
    decltype(&::LockFileEx) lockFile;
    decltype(&::FindFirstFileW) findFirstFile;
    decltype(&::FindNextFileW) findNextFile;
    decltype(&::FindClose) findClose;
    decltype(&::GetSecurityInfo) securityInfo;
    decltype(&::SetSecurityInfo) setSecurityInfo;
    decltype(&::GetLastError) lastError;
};
const FileCalls& systemFileCalls();

// Shared by every handle of the program's files: a file being read or claimed may still be
// replaced or removed by a rename, as on other systems.
constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// The outcome of one file operation: 0, or the system's error code.
struct FileResult {
    DWORD error = 0;
    bool nameTaken = false; // another file already has the name
};

// Creates the file with these bytes only when the name is free (with these attributes) and
// makes them durable; a file not written whole and durable is removed again. On success the
// file's handle is put in *kept when asked for, else closed.
FileResult createExclusively(const FileCalls& calls, const QString& path, const QByteArray& bytes,
                             DWORD attributes = FILE_ATTRIBUTE_NORMAL, HANDLE* kept = nullptr);
// A whole new file in the place of the one at path: written beside it, made durable, its
// rights and attributes taken from the old file, then renamed over it through to the disk.
FileResult replaceWhole(const FileCalls& calls, const QString& path, const QByteArray& bytes,
                        bool* replaced);
// A regular file (no folder, device, pipe or link) opened for reading; INVALID_HANDLE_VALUE
// and *error otherwise (ERROR_CANT_ACCESS_FILE for anything that is no regular file).
HANDLE openRegularFile(const FileCalls& calls, const QString& path, DWORD* error,
                       DWORD access = GENERIC_READ);
// Which of the groups that take in other users (Everyone, Users, Authenticated Users, ...)
// this access list lets read a file, by its name; empty when none of them. A missing list
// lets everybody in.
QString broadReaderOf(const ACL* dacl);

// The file renamed through its own handle, only while no other file has the new name (then
// ERROR_ALREADY_EXISTS): whatever renames its folder's entries meanwhile, this file moves.
bool renameThroughHandle(const FileCalls& calls, HANDLE file, const QString& path);
// The file's removal through its own handle, so that no other file of its name is removed.
bool removeThroughHandle(const FileCalls& calls, HANDLE file);

} // namespace kestrune::platform
