#pragma once

#include <kestrune/disk_numbers.h>

#include <QString>
#include <cstdint>
#include <functional>
#include <optional>

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

// The FAT a partition gets: its width, the bytes of its logical sectors and its sectors per
// cluster. The type follows the partition's size (FAT12 below 8 MiB, FAT32 from 512 MiB), and
// the cluster is chosen in bytes whatever the disk's sector size, so that the count of
// clusters always lies within what the type allows.
struct FatLayout {
    int fatBits = 0;
    std::uint32_t sectorSize = 512;
    std::uint32_t sectorsPerCluster = 0; // 0: mkfs.fat's own choice
};
// Nothing, and why in *failure, when no FAT can span the partition.
std::optional<FatLayout> chooseFatLayout(std::uint64_t partitionBytes, std::uint32_t diskSectorSize,
                                         QString* failure = nullptr);

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
