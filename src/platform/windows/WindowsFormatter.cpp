// The platform's whole-disk format on Windows: the request in the program's types handed to
// the steps of WholeDiskFormat.cpp, which need none of them.
#include "platform/DiskFormatter.h"

#include "WholeDiskFormat.h"

namespace kestrune::platform {

FormatOutcome formatWholeDisk(const FormatRequest& request, const PartitioningHooks& hooks) {
    FormatOutcome outcome;
    if (request.deviceNumber < 0) {
        outcome.failure = QStringLiteral("the disk cannot be opened: it has no number");
        return outcome;
    }
    const QString path = QStringLiteral("\\\\.\\PhysicalDrive%1").arg(request.deviceNumber);
    WholeDiskFormat format;
    format.deviceNumber = static_cast<uint32_t>(request.deviceNumber);
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
    const WholeDiskOutcome done = formatPhysicalDrive(systemFormatCalls(), format);
    outcome.formatted = done.formatted;
    outcome.labelled = done.labelled;
    outcome.aborted = done.aborted;
    outcome.failure = QString::fromStdString(done.failure);
    return outcome;
}

} // namespace kestrune::platform
