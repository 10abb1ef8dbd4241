#pragma once

#include "base/FatLayout.h"

#include <kestrune/disk_numbers.h>

#include <QString>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace kestrune::platform {

// Called around the moment the disk's partition table is rewritten, so the device monitor
// can ignore the events our own partitioning causes. After is called whenever before was.
struct PartitioningHooks {
    std::function<void(const QString& diskPath)> beforePartitioning;
    std::function<void(const QString& diskPath)> afterPartitioning;
};

struct FormatRequest {
    KestruneDiskIdentity identity{};
    int32_t deviceNumber = 0;
    QString label; // stored upper-case, as FAT keeps it
    // How far the format has got, 0..100, a few times a second: the zeros over the partition,
    // or where they are left out, the file system's structures.
    std::function<void(int percent)> progress;
    // The job's abort flag (read atomically); the format stops within about a second.
    const unsigned char* abortFlag = nullptr;
    bool requireRemovable = true; // only tests of loop devices turn this off
    // The disk reads as zeros already (a job has just written zeros over all of it and read
    // them back), so the zeroing pass is left out and the format writes only its table and
    // the file system's structures.
    bool diskReadsAsZeros = false;
};

struct FormatOutcome {
    bool formatted = false;
    bool labelled = false;
    bool aborted = false;
    QString failure; // why the format or the label failed
};

// The FAT a partition gets (base/FatLayout.h), with the failure as the program shows it.
using FatLayout = blockio::FatLayout;
inline std::optional<FatLayout> chooseFatLayout(std::uint64_t partitionBytes,
                                                std::uint32_t diskSectorSize,
                                                QString* failure = nullptr) {
    std::string why;
    std::optional<FatLayout> layout =
        blockio::chooseFatLayout(partitionBytes, diskSectorSize, &why);
    if (!layout && failure)
        *failure = QString::fromStdString(why);
    return layout;
}

// Writes a FAT file system of that layout with mkfs.fat into an image file the size of the
// partition, which begins partitionOffset bytes into its disk; geometry is the disk's
// "heads/sectors" when it has one. Empty on success, else why; "aborted" when the abort
// flag stopped it.
QString buildFatImage(const QString& image, std::uint64_t partitionOffset,
                      std::uint32_t diskSectorSize, const QString& label,
                      const unsigned char* abortFlag = nullptr, const QString& geometry = {});

// A full format: one partition over the whole disk (an MBR up to 2 TiB, a GPT beyond), zeros over
// it with their progress, then a FAT file system with the label.
FormatOutcome formatWholeDisk(const FormatRequest& request, const PartitioningHooks& hooks);

} // namespace kestrune::platform
