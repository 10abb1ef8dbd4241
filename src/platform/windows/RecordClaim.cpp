#include "platform/RecordClaim.h"

#include "platform/windows/FileCalls.h"

#include <QDir>
#include <QFileInfo>
#include <atomic>
#include <fcntl.h>
#include <io.h>

namespace kestrune::platform {
namespace {

using windows_impl::errorText;
using windows_impl::fromWide;
using windows_impl::toWide;

const QString kClaimSuffix = QStringLiteral(".running");

std::wstring systemName(const QString& path) {
    return toWide(QDir::toNativeSeparators(path));
}

QString folderOf(const QString& reportPath) {
    return QFileInfo(reportPath).absolutePath();
}

// The claim's hold: one byte locked for the handle, which the system lets go of when the
// handle closes, however the process ends. Files of the program never read that byte.
bool lockHeld(const FileCalls& calls, HANDLE file) {
    OVERLAPPED at{};
    return calls.lockFile(file, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at);
}

// The handle as a descriptor of the C runtime, which the claim keeps: closing it closes
// the handle and so lets go of the lock.
int descriptorOf(const FileCalls& calls, HANDLE file) {
    const int fd = ::_open_osfhandle(reinterpret_cast<intptr_t>(file), _O_RDWR | _O_BINARY);
    if (fd < 0)
        calls.closeHandle(file);
    return fd;
}

HANDLE handleOf(int fd) {
    return reinterpret_cast<HANDLE>(::_get_osfhandle(fd));
}

bool sameFile(const BY_HANDLE_FILE_INFORMATION& a, const BY_HANDLE_FILE_INFORMATION& b) {
    return a.dwVolumeSerialNumber == b.dwVolumeSerialNumber &&
           a.nFileIndexHigh == b.nFileIndexHigh && a.nFileIndexLow == b.nFileIndexLow;
}

// The claim's file opened and locked without waiting; INVALID_HANDLE_VALUE when another
// process holds it, or when it is no longer the claim of that name.
HANDLE lockClaim(const FileCalls& calls, const QString& path) {
    DWORD error = 0;
    HANDLE file = openRegularFile(calls, path, &error, GENERIC_READ | GENERIC_WRITE | DELETE);
    if (file == INVALID_HANDLE_VALUE)
        return file;
    BY_HANDLE_FILE_INFORMATION info{};
    FILE_STANDARD_INFO standard{};
    bool ours = lockHeld(calls, file) && calls.fileInformation(file, &info) &&
                calls.fileInformationEx(file, FileStandardInfo, &standard, sizeof standard) &&
                !standard.DeletePending;
    // A claim released and removed, and perhaps another made, while it was being opened is
    // not this one.
    if (ours) {
        HANDLE again = openRegularFile(calls, path, &error, FILE_READ_ATTRIBUTES);
        BY_HANDLE_FILE_INFORMATION now{};
        ours = again != INVALID_HANDLE_VALUE && calls.fileInformation(again, &now) &&
               sameFile(info, now);
        if (again != INVALID_HANDLE_VALUE)
            calls.closeHandle(again);
    }
    if (!ours) {
        calls.closeHandle(file);
        return INVALID_HANDLE_VALUE;
    }
    return file;
}

std::vector<QString> claimNames(const FileCalls& calls, const QString& folder) {
    std::vector<QString> names;
    WIN32_FIND_DATAW found{};
    HANDLE search = calls.findFirstFile(systemName(folder + QStringLiteral("/*")).c_str(), &found);
    if (search == INVALID_HANDLE_VALUE)
        return names;
    do {
        const QString name = fromWide(found.cFileName);
        if (!(found.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) &&
            name.size() > kClaimSuffix.size() + 1 && name.startsWith(u'.') &&
            name.endsWith(kClaimSuffix))
            names.push_back(name);
    } while (calls.findNextFile(search, &found));
    calls.findClose(search);
    return names;
}

} // namespace

RecordClaim::RecordClaim(QString reportPath, QString claimName, int fd)
    : reportPath_(std::move(reportPath)), claimName_(std::move(claimName)), fd_(fd) {}

RecordClaim::~RecordClaim() {
    if (fd_ >= 0)
        ::_close(fd_);
}

std::unique_ptr<RecordClaim> RecordClaim::take(const QString& reportPath, QString* failure,
                                               bool* nameTaken) {
    const FileCalls& calls = systemFileCalls();
    const QString folder = folderOf(reportPath);
    const QString claim = u'.' + QFileInfo(reportPath).fileName() + kClaimSuffix;
    // Locked before it carries its name, so that no other program ever finds it unheld.
    // Jobs of one process claim at once too: each its own pending name.
    static std::atomic<unsigned> claims{0};
    const QString pending = folder + u'/' + claim +
                            QStringLiteral(".new%1-%2").arg(::GetCurrentProcessId()).arg(++claims);
    HANDLE file = INVALID_HANDLE_VALUE;
    FileResult result = createExclusively(calls, pending, {}, FILE_ATTRIBUTE_HIDDEN, &file);
    if (result.error) {
        *failure = errorText(result.error);
        return nullptr;
    }
    DWORD error = lockHeld(calls, file) ? 0 : calls.lastError();
    // The rename takes the name only while it is free; then the claim is made durable.
    if (!error &&
        (!renameThroughHandle(calls, file, folder + u'/' + claim) || !calls.flushFileBuffers(file)))
        error = calls.lastError();
    if (error) {
        removeThroughHandle(calls, file);
        calls.closeHandle(file);
        const bool taken = error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS;
        if (nameTaken)
            *nameTaken = taken;
        *failure =
            taken ? QStringLiteral("another job claims that report's name") : errorText(error);
        return nullptr;
    }
    const int fd = descriptorOf(calls, file);
    if (fd < 0) {
        *failure = QStringLiteral("no descriptor is left for the claim");
        return nullptr;
    }
    return std::unique_ptr<RecordClaim>(new RecordClaim(reportPath, claim, fd));
}

QString RecordClaim::release() {
    if (fd_ < 0)
        return {};
    const FileCalls& calls = systemFileCalls();
    // Removed through the claim's own handle: no other file of that name can be hit.
    if (!removeThroughHandle(calls, handleOf(fd_)))
        return errorText(calls.lastError());
    ::_close(fd_);
    fd_ = -1;
    return {};
}

QString RecordClaim::dropRecord() {
    const FileCalls& calls = systemFileCalls();
    if (!calls.deleteFile(systemName(reportPath_).c_str())) {
        const DWORD error = calls.lastError();
        if (error != ERROR_FILE_NOT_FOUND)
            return errorText(error);
    }
    return release();
}

std::vector<std::unique_ptr<RecordClaim>> OrphanedRecordClaims(const QString& folderPath) {
    std::vector<std::unique_ptr<RecordClaim>> orphaned;
    const FileCalls& calls = systemFileCalls();
    QString base = folderPath;
    if (!base.endsWith(u'/') && !base.endsWith(u'\\'))
        base += u'/';
    for (const QString& claim : claimNames(calls, folderPath)) {
        HANDLE file = lockClaim(calls, base + claim);
        if (file == INVALID_HANDLE_VALUE)
            continue;
        const int fd = descriptorOf(calls, file);
        if (fd < 0)
            continue;
        const QString report = base + claim.mid(1, claim.size() - 1 - kClaimSuffix.size());
        orphaned.push_back(std::unique_ptr<RecordClaim>(new RecordClaim(report, claim, fd)));
    }
    return orphaned;
}

} // namespace kestrune::platform
