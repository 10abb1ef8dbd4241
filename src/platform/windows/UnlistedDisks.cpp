#include "platform/DiskEnumerator.h"
#include "platform/windows/SetupDiskEnumerator.h"
#include "platform/windows/SimulatedDiskEnumerator.h"

#include <QFileInfo>
#include <QRegularExpression>
#include <algorithm>

namespace kestrune::platform {

namespace windows_impl {

namespace {

UnlistedDisk because(UnlistedReason reason, QString detail = {}) {
    return {reason, std::move(detail)};
}

// A whole disk by its number, judged by the list's own rules.
UnlistedDisk explainDisk(const DiskCalls& calls, DWORD number) {
    const SetupDiskEnumerator enumerator(calls);
    const auto candidates = enumerator.candidates(true);
    if (!candidates)
        return because(UnlistedReason::Unreadable);
    const auto found = std::find_if(candidates->begin(), candidates->end(), [&](const auto& c) {
        return c.disk && c.disk->identity.devt == number;
    });
    if (found == candidates->end())
        return because(UnlistedReason::NotFound);
    if (!found->removalExpected)
        return because(UnlistedReason::NotRemovable);
    std::vector<DiskInfo> disk{*found->disk};
    std::vector<DWORD> system;
    if (!enumerator.addVolumes(disk, system))
        return because(UnlistedReason::Unreadable);
    if (std::find(system.begin(), system.end(), number) != system.end())
        return because(UnlistedReason::SystemDisk);
    return because(UnlistedReason::Listable);
}

// A volume ("E:", "\\.\E:", "\\?\Volume{...}") names the disk it lies on.
UnlistedDisk explainVolume(const DiskCalls& calls, const QString& path) {
    Handle volume(calls, openForQuery(calls, path));
    if (!volume.valid())
        return because(UnlistedReason::NotFound);
    const VolumeOnDisks entry = volumeOnDisks(calls, path);
    if (entry.disks.size() != 1)
        return because(UnlistedReason::NotADisk); // a CD, a share, or spread over disks
    return because(UnlistedReason::Partition, physicalDrivePath(entry.disks.front()));
}

UnlistedDisk explainImage(const DiskCalls& calls, const QString& path, const QString& folder) {
    const QFileInfo image(path);
    if (nativeFolder(image.absolutePath()).compare(nativeFolder(folder), Qt::CaseInsensitive) !=
            0 ||
        !image.fileName().endsWith(QLatin1String(".img")))
        return because(UnlistedReason::NotSimulated, folder);
    const auto disks = SimulatedDiskEnumerator(calls, folder).enumerate();
    if (!disks)
        return because(UnlistedReason::Unreadable);
    const QString wanted = nativeFolder(path);
    for (const DiskInfo& disk : *disks)
        if (disk.identity.path.compare(wanted, Qt::CaseInsensitive) == 0)
            return because(UnlistedReason::Listable);
    return because(UnlistedReason::NotADisk); // a link, or a file with a second name
}

} // namespace

UnlistedDisk explainUnlisted(const DiskCalls& calls, const QString& path, bool simulated,
                             const QString& folder) {
    static const QRegularExpression disk(QStringLiteral("^(\\\\\\\\[.?]\\\\)?PhysicalDrive(\\d+)$"),
                                         QRegularExpression::CaseInsensitiveOption);
    static const QRegularExpression letter(QStringLiteral("^(\\\\\\\\[.?]\\\\)?([A-Za-z]):\\\\?$"));
    if (const auto match = disk.match(path); match.hasMatch()) {
        if (simulated)
            return because(UnlistedReason::NotSimulated, folder);
        return explainDisk(calls, match.captured(2).toUInt());
    }
    if (const auto match = letter.match(path); match.hasMatch())
        return explainVolume(calls, QStringLiteral("\\\\.\\%1:").arg(match.captured(2)));
    if (path.startsWith(QLatin1String("\\\\?\\Volume{"), Qt::CaseInsensitive))
        return explainVolume(calls, path.endsWith(QLatin1Char('\\')) ? path.chopped(1) : path);
    const QFileInfo file(path);
    if (path.isEmpty() || !file.exists())
        return because(UnlistedReason::NotFound);
    if (simulated && file.isFile())
        return explainImage(calls, path, folder);
    return because(UnlistedReason::NotADisk);
}

} // namespace windows_impl

UnlistedDisk explainUnlistedDisk(const QString& path) {
    return windows_impl::explainUnlisted(windows_impl::systemDiskCalls(), path,
                                         qEnvironmentVariableIsSet("KESTRUNE_SIMULATED_DISKS"),
                                         simulatedDisksFolder());
}

} // namespace kestrune::platform
