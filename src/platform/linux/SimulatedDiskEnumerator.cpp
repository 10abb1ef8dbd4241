#include "base/DiskOpening.h"
#include "base/DiskSafety.h"
#include "base/InvokingUser.h"
#include "base/TrustedPath.h"
#include "platform/DiskEnumerator.h"
#include "platform/SimulatedDisks.h"
#include "platform/linux/BlockDiskEnumerator.h"
#include "platform/linux/DirectoryEntries.h"
#include "platform/linux/VolumeProbe.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <map>
#include <sys/stat.h>
#include <unistd.h>

namespace kestrune::platform {

namespace {

// Loop devices attached to images of the folder, by canonical image path; an image attached
// twice is represented by its lowest-numbered device.
std::optional<std::map<QString, QString>> loopDevicesOfImages(const QString& folder) {
    std::map<QString, QString> loops;
    static const QRegularExpression loopName(QStringLiteral("^loop(\\d+)$"));
    const auto names = linux_impl::directoryEntries(QStringLiteral("/sys/block"));
    if (!names)
        return std::nullopt;
    const std::string folderPath = QFile::encodeName(folder).toStdString();
    for (const QByteArray& entry : *names) {
        const QString name = QFile::decodeName(entry);
        const auto match = loopName.match(name);
        if (!match.hasMatch())
            continue;
        const auto image = blockio::simulatedImageOfLoop(
            QFile::encodeName(QStringLiteral("/sys/block/") + name).toStdString(), folderPath);
        if (!image)
            continue;
        const QString key = QFile::decodeName(QByteArray::fromStdString(*image));
        auto found = loops.find(key);
        if (found == loops.end() || found->second.mid(4).toInt() > match.captured(1).toInt())
            loops[key] = name;
    }
    return loops;
}

class SimulatedDiskEnumerator final : public DiskEnumerator {
public:
    explicit SimulatedDiskEnumerator(QString folder) : folder_(std::move(folder)) {}

    std::optional<std::vector<DiskInfo>> enumerate() const override {
        std::vector<DiskInfo> disks;
        if (folder_.isEmpty()) // QDir would read the working directory
            return disks;
        int error = 0;
        const auto entries = linux_impl::directoryEntries(folder_, &error);
        if (!entries) {
            // A folder that is not there holds no disks; one that cannot be read is unknown.
            if (error == ENOENT || error == ENOTDIR)
                return disks;
            return std::nullopt;
        }
        const auto loops = loopDevicesOfImages(folder_);
        if (!loops)
            return std::nullopt;
        if (!loops->empty()) {
            bool readable = false;
            readMountTable("/proc/self/mountinfo", readable);
            if (!readable)
                return std::nullopt;
        }
        const QByteArray folder = QFile::encodeName(QFileInfo(folder_).absoluteFilePath());
        const linux_impl::BlockDiskEnumerator blockDisks({});
        for (const QByteArray& fileName : *entries) {
            if (!isSimulatedImageName(fileName))
                continue;
            // The bytes as stored: a name that is not valid UTF-8 still names its file.
            const QByteArray native = folder + '/' + fileName;
            struct stat st {};
            // lstat and regular files only: a link planted in the folder must never lead
            // the engine to a real device. A file with another name elsewhere (a hard link)
            // may be something else entirely: it is no stick either.
            if (::lstat(native.constData(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_nlink != 1 ||
                !InvokingUserMayWrite(native.toStdString()))
                continue;
            const QString base = simulatedDiskName(fileName);
            char resolved[PATH_MAX];
            const QString canonical =
                ::realpath(native.constData(), resolved) ? QFile::decodeName(resolved) : QString();
            if (const auto loop = loops->find(canonical); loop != loops->end()) {
                // Attached: the disk is the block device, which the whole real path runs on.
                // One in use by the system (mounted at a system path, held) is left out.
                if (auto disk = blockDisks.readDiskUnlessInUse(loop->second)) {
                    disk->name = base;
                    disk->imageFile = canonical;
                    describeSimulatedStick(*disk, base);
                    disks.push_back(std::move(*disk));
                }
                continue;
            }
            ImageFile image;
            image.fileName = fileName;
            image.path = QString::fromUtf8(native);
            if (image.path.toUtf8() != native)
                image.nativePath = native;
            image.canonicalPath = canonical;
            image.volumeId = st.st_dev;
            image.fileId = st.st_ino;
            image.size = static_cast<std::uint64_t>(st.st_size);
            image.readOnly = ::access(native.constData(), W_OK) != 0;
            DiskInfo disk = simulatedDiskOf(image);
            if (disk.hasMedium)
                disk.volumes = volumesOf(native, base);
            disks.push_back(std::move(disk));
        }
        return disks;
    }

private:
    static std::vector<VolumeInfo> volumesOf(const QByteArray& path, const QString& base) {
        std::vector<VolumeInfo> volumes;
        bool timedOut = false;
        // A medium that does not answer is listed without volume names this time.
        const auto partitions = linux_impl::probePartitions(path, &timedOut);
        if (timedOut)
            return volumes;
        for (const auto& partition : partitions) {
            VolumeInfo volume;
            volume.name = base + QStringLiteral("p") + QString::number(partition.number);
            volume.fsType = partition.fileSystem.type;
            volume.label = cleanDeviceText(partition.fileSystem.label);
            volumes.push_back(std::move(volume));
        }
        if (partitions.empty()) {
            const auto fileSystem = linux_impl::probeFileSystem(path);
            if (fileSystem.found) {
                VolumeInfo volume;
                volume.name = base;
                volume.fsType = fileSystem.type;
                volume.label = cleanDeviceText(fileSystem.label);
                volumes.push_back(std::move(volume));
            }
        }
        return volumes;
    }

    QString folder_;
};

} // namespace

std::unique_ptr<DiskEnumerator> createBlockDiskEnumerator(const BlockSystemPaths& paths) {
    return std::make_unique<linux_impl::BlockDiskEnumerator>(paths);
}

std::unique_ptr<DiskEnumerator> createSimulatedDiskEnumerator(const QString& folder) {
    return std::make_unique<SimulatedDiskEnumerator>(folder);
}

QString simulatedDisksFolder() {
    const EnvironmentPath setting = TrustedEnvironmentPath("KESTRUNE_SIMULATED_DISKS");
    // A folder that may not be used lists nothing, as an empty name does.
    if (!setting.refusal.empty())
        return QString();
    return QFile::decodeName(QByteArray::fromStdString(setting.value));
}

std::unique_ptr<DiskEnumerator> createDiskEnumerator() {
    // Set but empty still means simulated: an empty folder name lists nothing real.
    if (qEnvironmentVariableIsSet("KESTRUNE_SIMULATED_DISKS"))
        return createSimulatedDiskEnumerator(simulatedDisksFolder());
    return createBlockDiskEnumerator();
}

} // namespace kestrune::platform
