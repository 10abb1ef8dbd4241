// An empty FAT file system written straight onto a partition: the format where no mkfs.fat
// is at hand (Windows). Portable: it goes through a BlockDevice alone.
#pragma once

#include "base/BlockDevice.h"
#include "base/FatLayout.h"

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace kestrune::blockio {

struct FatVolume {
    FatLayout layout;
    // Where the partition begins on its disk, in the layout's sectors.
    std::uint64_t hiddenSectors = 0;
    // The volume's name as FAT keeps it (upper-case, at most 11 characters); empty: none.
    std::string label;
    std::uint32_t serial = 0;
    // The disk's geometry as the boot sector records it; nothing reads it on an LBA disk.
    std::uint16_t heads = 255;
    std::uint16_t sectorsPerTrack = 63;
    // The partition reads as zeros already (a verified zero pass), so only the sectors that
    // hold more than zeros are written; otherwise the FATs and the root folder are zeroed too.
    bool readsAsZeros = false;
};

struct FatWriteOutcome {
    enum class End { Done, Aborted, Failed };
    End end = End::Done;
    std::string failure; // why, unless done: "aborted", or what failed and the system's reason
};

// Empty when FAT can keep the label as it is, else why not.
std::string fatLabelProblem(std::string_view label);

// A serial that differs from one format to the next (the time of day, to the hundredth of
// a second, and the date), as other formatters make theirs.
std::uint32_t fatVolumeSerial();

// Writes the file system over [offset, offset + length) of the device: the partition's
// range on its disk. progress hears the percent done, 0 first and 100 once all of it is on
// the medium; the abort flag (read atomically between writes) stops it before the boot
// sector is written, so an aborted format never leaves a file system that looks whole.
FatWriteOutcome writeFatFileSystem(BlockDevice& device, std::uint64_t offset, std::uint64_t length,
                                   const FatVolume& volume,
                                   const std::function<void(int percent)>& progress = {},
                                   const unsigned char* abortFlag = nullptr);

} // namespace kestrune::blockio
