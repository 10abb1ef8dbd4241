#include "cli/DiskSelection.h"

#include "cli/CliText.h"

#include <QFileInfo>
#include <algorithm>
#include <kestrune/disk_numbers.h>

namespace kestrune::cli {
namespace {

QString canonical(const QString& path) {
    return path.isEmpty() ? QString() : QFileInfo(path).canonicalFilePath();
}

QString refusalText(const QString& argument, const platform::UnlistedDisk& unlisted) {
    using platform::UnlistedReason;
    switch (unlisted.reason) {
    case UnlistedReason::Listable:
        return FillPlaceholders(cliText("cli_refused_changed"), {argument});
    case UnlistedReason::NotFound:
        return FillPlaceholders(cliText("cli_refused_not_found"), {argument});
    case UnlistedReason::NotADisk:
        return FillPlaceholders(cliText("cli_refused_not_a_disk"), {argument});
    case UnlistedReason::Partition:
        return FillPlaceholders(cliText("cli_refused_partition"), {argument, unlisted.detail});
    case UnlistedReason::SystemDisk:
        return FillPlaceholders(cliText("cli_refused_system_disk"), {argument});
    case UnlistedReason::NotRemovable:
        return FillPlaceholders(cliText("cli_refused_not_removable"), {argument});
    case UnlistedReason::NotSimulated:
        return FillPlaceholders(cliText("cli_refused_not_simulated"), {argument, unlisted.detail});
    case UnlistedReason::Unreadable:
        return FillPlaceholders(cliText("cli_refused_unreadable"), {argument});
    }
    return FillPlaceholders(cliText("cli_refused_not_found"), {argument});
}

} // namespace

DiskSelection selectDisks(const std::vector<ScannedDisk>& disks, const QStringList& arguments) {
    DiskSelection selection;
    auto choose = [&](const QString& argument, const ScannedDisk& disk) {
        if (!disk.record->hasMedium.load()) {
            selection.refusals.push_back(
                {argument, FillPlaceholders(cliText("cli_refused_no_medium"), {argument})});
            return;
        }
        // Beyond the numbers there are, a disk has none, and the window starts none of them.
        if (disk.record->deviceNumber >= KESTRUNE_DISK_NUMBER_COUNT) {
            selection.refusals.push_back(
                {argument,
                 FillPlaceholders(cliText("cli_refused_too_many"),
                                  {argument, QString::number(KESTRUNE_DISK_NUMBER_COUNT)})});
            return;
        }
        if (std::find(selection.disks.begin(), selection.disks.end(), &disk) ==
            selection.disks.end())
            selection.disks.push_back(&disk);
    };
    for (const QString& argument : arguments) {
        if (!argument.isEmpty() && QFileInfo::exists(argument)) {
            // A path names the disk it leads to, never one it merely resembles.
            const QString target = canonical(argument);
            const auto found = std::find_if(disks.begin(), disks.end(), [&](const auto& disk) {
                return canonical(disk.info.identity.path) == target ||
                       (!disk.info.imageFile.isEmpty() && canonical(disk.info.imageFile) == target);
            });
            if (found != disks.end())
                choose(argument, *found);
            else
                selection.refusals.push_back(
                    {argument, refusalText(argument, platform::explainUnlistedDisk(argument))});
            continue;
        }
        std::vector<const ScannedDisk*> matches;
        for (const ScannedDisk& disk : disks)
            if (!argument.isEmpty() && disk.record->serialText == argument)
                matches.push_back(&disk);
        if (matches.size() == 1) {
            choose(argument, *matches.front());
        } else if (matches.empty()) {
            selection.refusals.push_back(
                {argument, FillPlaceholders(cliText("cli_refused_not_found"), {argument})});
        } else {
            QStringList paths;
            for (const ScannedDisk* disk : matches)
                paths << disk->info.identity.path;
            selection.refusals.push_back(
                {argument, FillPlaceholders(cliText("cli_refused_ambiguous"),
                                            {argument, paths.join(QStringLiteral(", "))})});
        }
    }
    return selection;
}

} // namespace kestrune::cli
