// The FAT a partition gets and where its parts lie: one rule for every platform, whether
// mkfs.fat builds the file system (Linux) or the base's own writer does (FatWriter.h).
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace kestrune::blockio {

// The FAT's width, the bytes of its logical sectors and its sectors per cluster. The type
// follows the partition's size (FAT12 below 8 MiB, FAT32 from 512 MiB), and the cluster is
// chosen in bytes whatever the disk's sector size, so that the count of clusters always lies
// within what the type allows.
struct FatLayout {
    int fatBits = 0;
    std::uint32_t sectorSize = 512;
    std::uint32_t sectorsPerCluster = 0; // 0: the smallest that fits (mkfs.fat's own choice)
};

// Nothing, and why in *failure, when no FAT can span the partition.
std::optional<FatLayout> chooseFatLayout(std::uint64_t partitionBytes, std::uint32_t diskSectorSize,
                                         std::string* failure = nullptr);

// Cluster counts the FAT widths allow; FAT16 keeps clear of the counts where drivers
// disagree on the type (4085, 4086).
constexpr std::uint64_t kMaxFat12Clusters = 4084;
constexpr std::uint64_t kMinFat16Clusters = 4087;
constexpr std::uint64_t kMaxFat16Clusters = 65524;
constexpr std::uint64_t kMinFat32Clusters = 65525;
constexpr std::uint64_t kMaxFat32Clusters = 0x0FFFFFF5;

// Where the parts of an empty FAT of a layout lie in its partition, in logical sectors:
// the reserved sectors (boot sector; on FAT32 also FSInfo and the backups), two FATs, the
// fixed root folder of FAT12/16, then the clusters, whose first starts on a whole cluster.
struct FatPlan {
    FatLayout layout; // sectorsPerCluster always set
    std::uint32_t totalSectors = 0;
    std::uint32_t reservedSectors = 0;
    std::uint32_t fatSectors = 0;  // each of the two
    std::uint32_t rootEntries = 0; // 0 on FAT32, whose root folder is cluster 2
    std::uint32_t rootSectors = 0;
    std::uint32_t clusters = 0;

    std::uint32_t firstFatSector() const { return reservedSectors; }
    std::uint32_t rootSector() const { return reservedSectors + 2 * fatSectors; }
    std::uint32_t dataSector() const { return rootSector() + rootSectors; }
};

// Nothing, and why in *failure, when the partition cannot hold a FAT of that layout.
std::optional<FatPlan> planFat(std::uint64_t partitionBytes, const FatLayout& layout,
                               std::string* failure = nullptr);

} // namespace kestrune::blockio
