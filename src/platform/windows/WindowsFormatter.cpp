// The platform's whole-disk format on Windows: the request in the program's types handed to
// the steps of WholeDiskFormat.cpp, which need none of them.
#include "platform/DiskFormatter.h"

#include "WholeDiskFormat.h"

#include <QDir>
#include <QFileInfo>
#include <optional>

namespace kestrune::platform {

namespace {

// N of "\\.\PhysicalDriveN", the only real disks the program lists on Windows.
std::optional<uint32_t> physicalDriveNumber(const QString& path) {
    static const QString prefix = QStringLiteral("\\\\.\\PhysicalDrive");
    if (!path.startsWith(prefix, Qt::CaseInsensitive))
        return std::nullopt;
    bool ok = false;
    const uint number = path.mid(prefix.size()).toUInt(&ok, 10);
    return ok ? std::optional<uint32_t>(number) : std::nullopt;
}

} // namespace

FormatOutcome formatWholeDisk(const FormatRequest& request, const PartitioningHooks& hooks) {
    FormatOutcome outcome;
    // The request's number is the program's own; the disk is the one its identity names.
    const QString path = QString::fromUtf8(request.identity.path);
    const std::optional<uint32_t> physical = physicalDriveNumber(path);
    const QFileInfo image(path);
    if (request.identity.simulated ? !image.isFile() : !physical) {
        outcome.failure = QStringLiteral("the disk cannot be opened: %1 is not a disk the "
                                         "program lists")
                              .arg(path);
        return outcome;
    }
    WholeDiskFormat format;
    format.deviceNumber = physical.value_or(0);
    if (request.identity.simulated) {
        format.imageFile = QDir::toNativeSeparators(image.absoluteFilePath()).toStdWString();
        format.imageBytes = static_cast<std::uint64_t>(image.size());
    }
    // UTF-8: what is not ASCII, FAT's label check refuses by name.
    format.label = request.label.toUpper().toStdString();
    format.progress = request.progress;
    format.abortFlag = request.abortFlag;
    format.requireRemovable = request.requireRemovable;
    format.diskReadsAsZeros = request.diskReadsAsZeros;
    if (hooks.beforePartitioning)
        format.beforePartitioning = [&] { hooks.beforePartitioning(path); };
    if (hooks.afterPartitioning)
        format.afterPartitioning = [&] { hooks.afterPartitioning(path); };
    const WholeDiskOutcome done = request.identity.simulated
                                      ? formatImageFile(systemFormatCalls(), format)
                                      : formatPhysicalDrive(systemFormatCalls(), format);
    outcome.formatted = done.formatted;
    outcome.labelled = done.labelled;
    outcome.aborted = done.aborted;
    outcome.failure = QString::fromStdString(done.failure);
    return outcome;
}

} // namespace kestrune::platform
