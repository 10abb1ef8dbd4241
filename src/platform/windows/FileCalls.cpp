#include "platform/windows/FileCalls.h"

#include <QDir>
#include <QFileInfo>
#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstring>
#include <vector>

namespace kestrune::platform {
namespace {

using windows_impl::toWide;

std::wstring fileName(const QString& path) {
    return toWide(QDir::toNativeSeparators(path));
}

FileResult failed(const FileCalls& calls) {
    return {calls.lastError(), false};
}

FileResult writeWhole(const FileCalls& calls, HANDLE file, const QByteArray& bytes) {
    const char* data = bytes.constData();
    qsizetype left = bytes.size();
    while (left > 0) {
        const DWORD chunk = DWORD(std::min<qsizetype>(left, qsizetype(1) << 30));
        DWORD written = 0;
        if (!calls.writeFile(file, data, chunk, &written, nullptr))
            return failed(calls);
        if (written == 0)
            return {ERROR_DISK_FULL, false};
        data += written;
        left -= written;
    }
    if (!calls.flushFileBuffers(file))
        return failed(calls);
    return {};
}

// The old file's access list, for the file that replaces it; nothing to carry when there is
// no old regular file. Its hidden and system marks go into *marks.
FileResult carryAccessList(const FileCalls& calls, const std::wstring& oldName, HANDLE replacement,
                           DWORD* marks) {
    HANDLE old = calls.createFile(oldName.c_str(), READ_CONTROL | FILE_READ_ATTRIBUTES, kShareAll,
                                  nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (old == INVALID_HANDLE_VALUE)
        return {};
    BY_HANDLE_FILE_INFORMATION info{};
    const bool regular =
        calls.fileInformation(old, &info) &&
        !(info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT));
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    DWORD error = regular ? calls.securityInfo(old, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION,
                                               nullptr, nullptr, &dacl, nullptr, &descriptor)
                          : ERROR_SUCCESS;
    calls.closeHandle(old);
    if (!regular)
        return {};
    *marks = info.dwFileAttributes & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM);
    if (error == ERROR_SUCCESS) {
        SECURITY_DESCRIPTOR_CONTROL control = 0;
        DWORD revision = 0;
        ::GetSecurityDescriptorControl(descriptor, &control, &revision);
        // Inherited entries are taken from the folder again; only the file's own are copied.
        const SECURITY_INFORMATION which =
            DACL_SECURITY_INFORMATION |
            ((control & SE_DACL_PROTECTED) ? PROTECTED_DACL_SECURITY_INFORMATION
                                           : UNPROTECTED_DACL_SECURITY_INFORMATION);
        error = calls.setSecurityInfo(replacement, SE_FILE_OBJECT, which, nullptr, nullptr, dacl,
                                      nullptr);
    }
    ::LocalFree(descriptor);
    return {error, false};
}

// The replacement is written hidden; it shows as the old file did, or as a new file would.
FileResult setMarks(const FileCalls& calls, HANDLE file, DWORD marks) {
    FILE_BASIC_INFO basic{};
    basic.FileAttributes = marks ? marks : FILE_ATTRIBUTE_NORMAL;
    if (!calls.setFileInformation(file, FileBasicInfo, &basic, sizeof basic))
        return failed(calls);
    return {};
}

} // namespace

const FileCalls& systemFileCalls() {
    static const FileCalls calls{
        &::CreateFileW,
        &::WriteFile,
        &::ReadFile,
        &::FlushFileBuffers,
        &::MoveFileExW,
        &::DeleteFileW,
        &::CloseHandle,
        &::GetFileType,
        &::GetFileInformationByHandle,
        &::GetFileInformationByHandleEx,
        &::SetFileInformationByHandle,
        &::GetFileAttributesW,
        &::LockFileEx,
        &::FindFirstFileW,
        &::FindNextFileW,
        &::FindClose,
        &::GetSecurityInfo,
        &::SetSecurityInfo,
        &::GetLastError,
    };
    return calls;
}

bool removeThroughHandle(const FileCalls& calls, HANDLE file) {
    FILE_DISPOSITION_INFO disposition{};
    disposition.DeleteFile = TRUE;
    return calls.setFileInformation(file, FileDispositionInfo, &disposition, sizeof disposition);
}

bool renameThroughHandle(const FileCalls& calls, HANDLE file, const QString& path) {
    const std::wstring name = fileName(path);
    // The structure ends in the name, which runs past its declared one-character array.
    const size_t bytes = offsetof(FILE_RENAME_INFO, FileName) + (name.size() + 1) * sizeof(wchar_t);
    std::vector<std::uint64_t> buffer((bytes + 7) / 8, 0);
    auto* rename = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
    rename->ReplaceIfExists = FALSE;
    rename->RootDirectory = nullptr;
    rename->FileNameLength = DWORD(name.size() * sizeof(wchar_t));
    std::memcpy(rename->FileName, name.c_str(), (name.size() + 1) * sizeof(wchar_t));
    return calls.setFileInformation(file, FileRenameInfo, rename, DWORD(bytes));
}

FileResult createExclusively(const FileCalls& calls, const QString& path, const QByteArray& bytes,
                             DWORD attributes, HANDLE* kept) {
    const std::wstring name = fileName(path);
    // A kept handle may still need to set the file's rights (a replacement takes the old
    // file's); a folder whose owner rights leave that out must not refuse plain reports.
    const DWORD access = GENERIC_WRITE | DELETE | (kept ? WRITE_DAC : 0);
    HANDLE file =
        calls.createFile(name.c_str(), access, kShareAll, nullptr, CREATE_NEW, attributes, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        const DWORD error = calls.lastError();
        // A folder of that name refuses the creation as access denied, yet takes the name.
        const bool taken = error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS ||
                           (error == ERROR_ACCESS_DENIED &&
                            calls.fileAttributes(name.c_str()) != INVALID_FILE_ATTRIBUTES);
        return {error, taken};
    }
    const FileResult written = writeWhole(calls, file, bytes);
    if (written.error) {
        removeThroughHandle(calls, file);
        calls.closeHandle(file);
        return written;
    }
    if (kept)
        *kept = file;
    else
        calls.closeHandle(file);
    return {};
}

FileResult replaceWhole(const FileCalls& calls, const QString& path, const QByteArray& bytes,
                        bool* replaced) {
    static std::atomic<unsigned> serial{0};
    const QFileInfo info(path);
    // Hidden beside the file, and of this process and call alone.
    const QString temporary = info.absolutePath() + QStringLiteral("/.%1.new%2-%3")
                                                        .arg(info.fileName())
                                                        .arg(::GetCurrentProcessId())
                                                        .arg(++serial);
    HANDLE file = INVALID_HANDLE_VALUE;
    FileResult result = createExclusively(calls, temporary, bytes, FILE_ATTRIBUTE_HIDDEN, &file);
    if (result.error)
        return {result.error, false};
    const std::wstring target = fileName(path);
    const bool existed = calls.fileAttributes(target.c_str()) != INVALID_FILE_ATTRIBUTES;
    DWORD marks = 0;
    result = carryAccessList(calls, target, file, &marks);
    if (!result.error)
        result = setMarks(calls, file, marks);
    if (!result.error && !calls.flushFileBuffers(file))
        result = failed(calls);
    if (result.error) {
        removeThroughHandle(calls, file);
        calls.closeHandle(file);
        return result;
    }
    calls.closeHandle(file);
    const std::wstring from = fileName(temporary);
    if (!calls.moveFile(from.c_str(), target.c_str(),
                        MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        result = failed(calls);
        calls.deleteFile(from.c_str());
        return result;
    }
    if (replaced)
        *replaced = existed;
    return {};
}

HANDLE openRegularFile(const FileCalls& calls, const QString& path, DWORD* error, DWORD access) {
    // A link is opened as itself, never followed; a pipe or device is opened only to be
    // refused, which neither waits nor reads.
    HANDLE file = calls.createFile(fileName(path).c_str(), access, kShareAll, nullptr,
                                   OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        *error = calls.lastError();
        // A folder is opened only for backing up; without, it refuses as denied access.
        const DWORD attributes = calls.fileAttributes(fileName(path).c_str());
        if (*error == ERROR_ACCESS_DENIED && attributes != INVALID_FILE_ATTRIBUTES &&
            (attributes & FILE_ATTRIBUTE_DIRECTORY))
            *error = ERROR_CANT_ACCESS_FILE;
        return file;
    }
    BY_HANDLE_FILE_INFORMATION info{};
    if (calls.fileType(file) != FILE_TYPE_DISK || !calls.fileInformation(file, &info) ||
        (info.dwFileAttributes &
         (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DEVICE))) {
        *error = (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)
                     ? ERROR_CANT_RESOLVE_FILENAME
                     : ERROR_CANT_ACCESS_FILE;
        calls.closeHandle(file);
        return INVALID_HANDLE_VALUE;
    }
    return file;
}

} // namespace kestrune::platform
