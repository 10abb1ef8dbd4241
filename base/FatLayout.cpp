#include "base/FatLayout.h"

#include <algorithm>

namespace kestrune::blockio {

namespace {

constexpr uint64_t kFat32From = 512ull << 20;
constexpr uint64_t kFat12Below = 8ull << 20;
// An MBR counts 32-bit sectors of 512 bytes: a larger disk gets a GPT instead.
constexpr uint64_t kMbrUpTo = 2ull << 40;
constexpr uint64_t kMaxFatSectors = 0xFFFFFFFFull; // the boot sector counts them in 32 bits
constexpr uint32_t kLargeSector = 4096;
constexpr uint64_t kMaxCluster = 64 << 10;
constexpr uint32_t kFat32Reserved = 32; // room for FSInfo and the backup boot sector
constexpr uint32_t kRootEntries = 512;  // FAT12/16's fixed root folder, as on any disk
constexpr uint32_t kEntryBytes = 32;

void fail(std::string* failure, const char* why) {
    if (failure)
        *failure = why;
}

std::optional<FatLayout> fat32Layout(uint64_t bytes, FatLayout layout, std::string* failure) {
    // The cluster sizes Windows gives FAT32 up to 2 TiB; beyond, 64 KiB keeps each FAT of a
    // 3 TiB disk at 200 MiB.
    uint64_t cluster = bytes <= (8ull << 30)    ? 4 << 10
                       : bytes <= (16ull << 30) ? 8 << 10
                       : bytes <= (32ull << 30) ? 16 << 10
                       : bytes <= kMbrUpTo      ? 32 << 10
                                                : kMaxCluster;
    // The boot sector counts sectors in 32 bits: beyond 2 TiB they must be larger.
    if (bytes / layout.sectorSize > kMaxFatSectors)
        layout.sectorSize = std::max(layout.sectorSize, kLargeSector);
    cluster = std::max<uint64_t>(cluster, layout.sectorSize);
    while (bytes / cluster > kMaxFat32Clusters && cluster < kMaxCluster)
        cluster *= 2;
    if (bytes / layout.sectorSize > kMaxFatSectors || bytes / cluster > kMaxFat32Clusters) {
        fail(failure, "the disk is too large for a FAT32 file system");
        return std::nullopt;
    }
    layout.fatBits = 32;
    layout.sectorsPerCluster = static_cast<uint32_t>(cluster / layout.sectorSize);
    return layout;
}

// FAT16 where its clusters fit, else nothing (too small for FAT16 with sectors this large).
std::optional<FatLayout> fat16Layout(uint64_t bytes, FatLayout layout) {
    const uint64_t sectors = bytes / layout.sectorSize;
    // What is not clusters, at most: boot sectors, two FATs of the largest FAT16, the root
    // folder and the alignment of the data to a cluster.
    auto clustersAtLeast = [&](uint64_t perCluster) -> uint64_t {
        const uint64_t overhead = 32 + 2 * (2 * 65536 / layout.sectorSize) +
                                  (kRootEntries * kEntryBytes) / layout.sectorSize + 2 * perCluster;
        return sectors > overhead ? (sectors - overhead) / perCluster : 0;
    };
    // mkfs.fat's own start of 2 KiB, grown while there are too many clusters, and shrunk to
    // one sector while there are too few (large sectors, or just 8 MiB).
    uint64_t perCluster = std::max<uint64_t>(1, 2048 / layout.sectorSize);
    while (sectors / perCluster > kMaxFat16Clusters)
        perCluster *= 2;
    while (clustersAtLeast(perCluster) < kMinFat16Clusters && perCluster > 1)
        perCluster /= 2;
    if (clustersAtLeast(perCluster) < kMinFat16Clusters)
        return std::nullopt;
    layout.fatBits = 16;
    layout.sectorsPerCluster = static_cast<uint32_t>(perCluster);
    return layout;
}

uint64_t fatSectorsFor(uint64_t clusters, int bits, uint32_t sectorSize) {
    const uint64_t bytes = ((clusters + 2) * static_cast<uint64_t>(bits) + 7) / 8;
    return (bytes + sectorSize - 1) / sectorSize;
}

bool clustersFitType(uint64_t clusters, int bits) {
    switch (bits) {
    case 12:
        return clusters >= 1 && clusters <= kMaxFat12Clusters;
    case 16:
        return clusters >= kMinFat16Clusters && clusters <= kMaxFat16Clusters;
    default:
        return clusters >= kMinFat32Clusters && clusters <= kMaxFat32Clusters;
    }
}

// The plan for a given cluster; its count of clusters may not suit the type (checked after).
FatPlan planWithCluster(uint64_t totalSectors, const FatLayout& layout, uint32_t perCluster) {
    FatPlan plan;
    plan.layout = layout;
    plan.layout.sectorsPerCluster = perCluster;
    plan.totalSectors = static_cast<uint32_t>(totalSectors);
    plan.reservedSectors = layout.fatBits == 32 ? kFat32Reserved : 1;
    plan.rootEntries = layout.fatBits == 32 ? 0 : kRootEntries;
    plan.rootSectors = plan.rootEntries * kEntryBytes / layout.sectorSize;
    const uint64_t fixed = plan.reservedSectors + plan.rootSectors;
    if (totalSectors <= fixed)
        return plan; // no clusters at all
    auto clustersBeside = [&](uint64_t fat) {
        const uint64_t used = fixed + 2 * fat;
        return totalSectors > used ? (totalSectors - used) / perCluster : 0;
    };
    // Large enough for every cluster the partition could hold without FATs, then shrunk
    // while a smaller one still covers what is left beside it.
    uint64_t fat = fatSectorsFor(clustersBeside(0), layout.fatBits, layout.sectorSize);
    while (fat > 1 &&
           fatSectorsFor(clustersBeside(fat - 1), layout.fatBits, layout.sectorSize) <= fat - 1)
        --fat;
    plan.fatSectors = static_cast<uint32_t>(fat);
    // The clusters start on a whole cluster (flash pages and erase blocks lie that way).
    const uint64_t data = fixed + 2 * fat;
    plan.reservedSectors += static_cast<uint32_t>((perCluster - data % perCluster) % perCluster);
    const uint64_t aligned = plan.dataSector();
    plan.clusters =
        totalSectors > aligned ? static_cast<uint32_t>((totalSectors - aligned) / perCluster) : 0;
    return plan;
}

} // namespace

std::optional<FatLayout> chooseFatLayout(uint64_t bytes, uint32_t diskSectorSize,
                                         std::string* failure) {
    FatLayout layout;
    layout.sectorSize = std::max<uint32_t>(diskSectorSize, 512);
    if (bytes >= kFat32From)
        return fat32Layout(bytes, layout, failure);
    if (bytes >= kFat12Below)
        if (std::optional<FatLayout> fat16 = fat16Layout(bytes, layout))
            return fat16;
    // Too small for FAT16 with sectors this large, or below 8 MiB.
    layout.fatBits = 12;
    return layout;
}

std::optional<FatPlan> planFat(uint64_t bytes, const FatLayout& layout, std::string* failure) {
    const uint32_t sector = layout.sectorSize;
    if (sector < 512 || sector > 4096 || (sector & (sector - 1)) != 0 ||
        (layout.fatBits != 12 && layout.fatBits != 16 && layout.fatBits != 32)) {
        fail(failure, "the FAT layout is not one this program writes");
        return std::nullopt;
    }
    const uint64_t total = bytes / sector;
    if (total > kMaxFatSectors) {
        fail(failure, "the partition is too large for a FAT file system");
        return std::nullopt;
    }
    // A cluster the layout leaves open is the smallest from 2 KiB up whose count fits.
    uint32_t perCluster = layout.sectorsPerCluster;
    const bool ownChoice = perCluster == 0;
    if (ownChoice)
        perCluster = std::max<uint32_t>(1, 2048 / sector);
    if ((perCluster & (perCluster - 1)) != 0 || perCluster > 128) {
        fail(failure, "the FAT layout is not one this program writes");
        return std::nullopt;
    }
    FatPlan plan = planWithCluster(total, layout, perCluster);
    while (ownChoice && plan.clusters > 0 && !clustersFitType(plan.clusters, layout.fatBits) &&
           perCluster * sector < kMaxCluster / 2) {
        perCluster *= 2;
        plan = planWithCluster(total, layout, perCluster);
    }
    if (plan.clusters == 0) {
        fail(failure, "the partition is too small for a FAT file system");
        return std::nullopt;
    }
    if (!clustersFitType(plan.clusters, layout.fatBits)) {
        fail(failure, "the partition's clusters do not fit the FAT's width");
        return std::nullopt;
    }
    return plan;
}

} // namespace kestrune::blockio
