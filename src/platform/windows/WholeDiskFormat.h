// The whole-disk format on Windows, in plain types: one partition over the physical drive
// through the system's partitioning requests, then the base's own FAT writer on it (Windows
// has no mkfs.fat, and Wine no formatting library). WindowsFormatter.cpp answers the
// platform's formatWholeDisk with it.
#pragma once

#include "FormatCalls.h"

#include "base/FatLayout.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace kestrune::platform {

struct WholeDiskFormat {
    std::uint32_t deviceNumber = 0; // \\.\PhysicalDriveN
    // A simulated disk: the image file and its size (no system tells a file's table).
    std::wstring imageFile;
    std::uint64_t imageBytes = 0;
    std::string label; // upper-case already, as FAT keeps it
    std::function<void(int percent)> progress;
    const unsigned char* abortFlag = nullptr;
    bool requireRemovable = true;
    bool diskReadsAsZeros = false;
    // Around the rewriting of the table; after is called whenever before was.
    std::function<void()> beforePartitioning;
    std::function<void()> afterPartitioning;
    // How long a volume with files open on it is asked again to lock.
    std::chrono::milliseconds lockWait{2000};
};

struct WholeDiskOutcome {
    bool formatted = false;
    bool labelled = false;
    bool aborted = false;
    std::string failure;
};

// The partition a disk gets: from 1 MiB to the end (an MBR up to 2 TiB, a GPT beyond, whose
// backup at the end keeps its last MiB), and the MBR type of its FAT.
struct WholeDiskPartition {
    bool gpt = false;
    std::uint64_t offset = 0; // bytes
    std::uint64_t length = 0;
    std::uint8_t mbrType = 0;
    blockio::FatLayout layout;
};
// Nothing, and why in *failure, when no FAT partition fits the disk.
std::optional<WholeDiskPartition> planWholeDisk(std::uint64_t diskBytes, std::uint32_t sector,
                                                std::string* failure);

WholeDiskOutcome formatPhysicalDrive(const FormatCalls& calls, const WholeDiskFormat& request);
// The same on a simulated disk's image file, whose table the program writes itself.
WholeDiskOutcome formatImageFile(const FormatCalls& calls, const WholeDiskFormat& request);

} // namespace kestrune::platform
