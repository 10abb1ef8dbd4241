#include "base/DiskOpening.h"
#include "platform/DiskEnumerator.h"
#include "platform/linux/BlockDiskEnumerator.h"

#include <QFile>
#include <QFileInfo>
#include <sys/stat.h>
#include <sys/sysmacros.h>

namespace kestrune::platform {
namespace {

UnlistedDisk because(UnlistedReason reason, QString detail = {}) {
    return {reason, std::move(detail)};
}

// An image of the simulated folder is left out only while the system uses the loop device
// it is attached to: the enumeration itself tells whether it lists the image.
UnlistedDisk explainImage(const QString& canonical, const QString& folder) {
    const QFileInfo image(canonical);
    if (image.absolutePath() != QFileInfo(folder).canonicalFilePath() ||
        !canonical.endsWith(QLatin1String(".img")))
        return because(UnlistedReason::NotSimulated, folder);
    const auto disks = createSimulatedDiskEnumerator(folder)->enumerate();
    if (!disks)
        return because(UnlistedReason::Unreadable);
    for (const DiskInfo& disk : *disks)
        if (disk.imageFile == canonical)
            return because(UnlistedReason::Listable);
    return because(UnlistedReason::SystemDisk);
}

UnlistedDisk explainBlockDevice(dev_t devt, bool simulated, const QString& folder) {
    const QString sysDir =
        QFileInfo(QStringLiteral("/sys/dev/block/%1:%2").arg(major(devt)).arg(minor(devt)))
            .canonicalFilePath();
    if (sysDir.isEmpty())
        return because(UnlistedReason::NotFound);
    if (QFileInfo::exists(sysDir + QStringLiteral("/partition")))
        return because(UnlistedReason::Partition,
                       QStringLiteral("/dev/") + QFileInfo(QFileInfo(sysDir).path()).fileName());
    const QString name = QFileInfo(sysDir).fileName();
    const linux_impl::BlockDiskEnumerator block({});
    if (simulated) {
        const auto image = blockio::simulatedImageOfLoop(
            QFile::encodeName(QStringLiteral("/sys/block/") + name).toStdString(),
            QFile::encodeName(folder).toStdString());
        if (!image)
            return because(UnlistedReason::NotSimulated, folder);
        const auto use = block.judgeUse(name);
        return because(use.listed ? UnlistedReason::Listable : use.why);
    }
    const auto verdict = block.judge(name);
    if (!verdict.listed)
        return because(verdict.why);
    // The removable rule lists it; a pool the system uses still keeps it out.
    const auto use = block.judgeUse(name);
    return because(use.listed ? UnlistedReason::Listable : use.why);
}

} // namespace

UnlistedDisk explainUnlistedDisk(const QString& path) {
    const QByteArray native = QFile::encodeName(path);
    struct stat st {};
    if (native.isEmpty() || ::stat(native.constData(), &st) != 0)
        return because(UnlistedReason::NotFound);
    const bool simulated = qEnvironmentVariableIsSet("KESTRUNE_SIMULATED_DISKS");
    const QString folder = simulatedDisksFolder();
    if (S_ISBLK(st.st_mode))
        return explainBlockDevice(st.st_rdev, simulated, folder);
    if (S_ISREG(st.st_mode) && simulated)
        return explainImage(QFileInfo(path).canonicalFilePath(), folder);
    return because(UnlistedReason::NotADisk);
}

} // namespace kestrune::platform
