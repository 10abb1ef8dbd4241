#include "platform/windows/SimulatedDiskEnumerator.h"

#include "platform/SimulatedDisks.h"
#include "platform/SystemLog.h"
#include "platform/windows/ImageVolumes.h"
#include "platform/windows/SetupDiskEnumerator.h"

#include <QDir>
#include <QFileInfo>
#include <algorithm>

namespace kestrune::platform {

namespace windows_impl {

namespace {

constexpr DWORD kNotAFile =
    FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DEVICE;

// "\\?\C:\x\a.img" and "\\?\UNC\server\share\a.img" as a user writes them.
QString withoutLongPrefix(QString path) {
    if (path.startsWith(QLatin1String("\\\\?\\UNC\\")))
        return QStringLiteral("\\\\") + path.mid(8);
    if (path.startsWith(QLatin1String("\\\\?\\")))
        return path.mid(4);
    return path;
}

QString finalPath(const DiskCalls& calls, HANDLE file) {
    std::vector<wchar_t> buffer(MAX_PATH);
    DWORD length =
        calls.getFinalPathNameByHandle(file, buffer.data(), static_cast<DWORD>(buffer.size()), 0);
    if (length >= buffer.size()) {
        buffer.assign(length + 1, L'\0');
        length = calls.getFinalPathNameByHandle(file, buffer.data(),
                                                static_cast<DWORD>(buffer.size()), 0);
    }
    if (length == 0 || length >= buffer.size())
        return {};
    return withoutLongPrefix(QString::fromWCharArray(buffer.data(), length));
}

// The file as it is now, opened without following a link: one planted in the folder must
// never lead the engine to a device or another file. A file with another name elsewhere (a
// hard link) may be anyone's file that only looks like an image: no stick either.
std::optional<ImageFile> readImage(const DiskCalls& calls, const QString& path,
                                   const QString& fileName) {
    Handle file(calls,
                calls.createFile(wide(path), FILE_READ_ATTRIBUTES,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                 OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    BY_HANDLE_FILE_INFORMATION information{};
    if (!file.valid() || !calls.getFileInformationByHandle(file.get(), &information) ||
        (information.dwFileAttributes & kNotAFile) != 0 || information.nNumberOfLinks != 1)
        return std::nullopt;
    ImageFile image;
    image.fileName = fileName.toUtf8();
    image.path = path;
    // The disk-number pool and the engine carry paths as UTF-8, which the system's 8-bit
    // code page is not: a folder named by a user called Jürgen would name no file.
    const QByteArray utf8 = path.toUtf8();
    if (utf8.size() != path.size())
        image.nativePath = utf8;
    image.canonicalPath = finalPath(calls, file.get());
    image.volumeId = information.dwVolumeSerialNumber;
    image.fileId = (std::uint64_t{information.nFileIndexHigh} << 32) | information.nFileIndexLow;
    image.size = (std::uint64_t{information.nFileSizeHigh} << 32) | information.nFileSizeLow;
    image.readOnly = (information.dwFileAttributes & FILE_ATTRIBUTE_READONLY) != 0;
    return image;
}

// The file names of the folder, sorted; nothing when it cannot be read, with the error.
std::optional<QStringList> filesOf(const DiskCalls& calls, const QString& folder, DWORD& error) {
    QStringList names;
    WIN32_FIND_DATAW entry{};
    HANDLE find = calls.findFirstFile(wide(folder + QStringLiteral("\\*")), &entry);
    if (find == INVALID_HANDLE_VALUE) {
        error = calls.getLastError();
        return std::nullopt;
    }
    do {
        if ((entry.dwFileAttributes & kNotAFile) == 0)
            names << QString::fromWCharArray(entry.cFileName);
    } while (calls.findNextFile(find, &entry));
    error = calls.getLastError();
    calls.findClose(find);
    if (error != ERROR_NO_MORE_FILES)
        return std::nullopt;
    names.sort();
    return names;
}

} // namespace

QString nativeFolder(const QString& folder) {
    QString path = QDir::toNativeSeparators(QDir::cleanPath(QFileInfo(folder).absoluteFilePath()));
    if (path.size() > 3 && path.endsWith(QLatin1Char('\\')))
        path.chop(1);
    return path;
}

std::optional<std::vector<DiskInfo>> SimulatedDiskEnumerator::enumerate() const {
    std::vector<DiskInfo> disks;
    if (folder_.isEmpty()) // the working directory would be read
        return disks;
    const QString folder = nativeFolder(folder_);
    DWORD error = 0;
    const auto names = filesOf(calls_, folder, error);
    if (!names) {
        // A folder that is not there holds no disks; one that cannot be read is unknown.
        if (error == ERROR_PATH_NOT_FOUND || error == ERROR_FILE_NOT_FOUND ||
            error == ERROR_DIRECTORY)
            return disks;
        LogWarning(QStringLiteral("Simulated disks: %1 cannot be read: %2")
                       .arg(folder, win32Message(error)));
        return std::nullopt;
    }
    for (const QString& name : *names) {
        if (!isSimulatedImageName(name.toUtf8()))
            continue;
        const QString path = folder + QLatin1Char('\\') + name;
        const auto image = readImage(calls_, path, name);
        if (!image)
            continue;
        DiskInfo disk = simulatedDiskOf(*image);
        if (disk.hasMedium)
            disk.volumes = imageVolumes(calls_, path, disk.name);
        disks.push_back(std::move(disk));
    }
    return disks;
}

} // namespace windows_impl

std::unique_ptr<DiskEnumerator> createSimulatedDiskEnumerator(const QString& folder) {
    return std::make_unique<windows_impl::SimulatedDiskEnumerator>(windows_impl::systemDiskCalls(),
                                                                   folder);
}

QString simulatedDisksFolder() {
    const QString folder = qEnvironmentVariable("KESTRUNE_SIMULATED_DISKS");
    // A folder relative to wherever the program was started could be any folder.
    if (!folder.isEmpty() && QDir::isRelativePath(folder)) {
        LogWarning(QStringLiteral("KESTRUNE_SIMULATED_DISKS is refused: \"%1\" is not an "
                                  "absolute path, so no simulated disk is listed")
                       .arg(folder));
        return QString();
    }
    return folder;
}

std::unique_ptr<DiskEnumerator> createDiskEnumerator() {
    // Set but empty still means simulated: an empty folder name lists nothing real.
    if (qEnvironmentVariableIsSet("KESTRUNE_SIMULATED_DISKS"))
        return createSimulatedDiskEnumerator(simulatedDisksFolder());
    return std::make_unique<windows_impl::SetupDiskEnumerator>(windows_impl::systemDiskCalls());
}

} // namespace kestrune::platform
