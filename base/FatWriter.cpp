#include "base/FatWriter.h"

#include "base/AbortFlag.h"
#include "base/Zeroing.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <ctime>
#include <map>
#include <vector>

namespace kestrune::blockio {

namespace {

constexpr char kOemName[8] = {'K', 'E', 'S', 'T', 'R', 'U', 'N', 'E'};
constexpr char kNoLabel[12] = "NO NAME    ";
constexpr uint8_t kFixedDisk = 0xF8; // the media byte of any disk that is not a floppy
constexpr uint32_t kFsInfoSector = 1;
constexpr uint32_t kBackupBootSector = 6;
constexpr uint32_t kRootCluster = 2;
constexpr uint8_t kVolumeLabel = 0x08; // the attribute of a volume-label entry
constexpr size_t kLargestWriteBlock = 1 << 20;

void put16(uint8_t* at, uint32_t value) {
    at[0] = static_cast<uint8_t>(value);
    at[1] = static_cast<uint8_t>(value >> 8);
}

void put32(uint8_t* at, uint32_t value) {
    put16(at, value & 0xFFFF);
    put16(at + 2, value >> 16);
}

std::tm localNow() {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
#ifdef _WIN32
    localtime_s(&local, &now);
#else
    localtime_r(&now, &local);
#endif
    return local;
}

// The label as the boot sector and the root folder keep it: padded with spaces.
std::string paddedLabel(const std::string& label) {
    return label.empty() ? std::string(kNoLabel) : label + std::string(11 - label.size(), ' ');
}

void fillBootSector(uint8_t* sector, const FatPlan& plan, const FatVolume& volume) {
    const bool fat32 = plan.layout.fatBits == 32;
    // A jump over the parameters to code that hands the boot on to the next device (int 18h)
    // and halts, should a machine ever try to start from the disk.
    const size_t code = fat32 ? 90 : 62;
    const uint8_t jump[3] = {0xEB, static_cast<uint8_t>(code - 2), 0x90};
    std::memcpy(sector, jump, sizeof jump);
    const uint8_t boot[5] = {0xCD, 0x18, 0xF4, 0xEB, 0xFD};
    std::memcpy(sector + code, boot, sizeof boot);
    std::memcpy(sector + 3, kOemName, sizeof kOemName);
    put16(sector + 11, plan.layout.sectorSize);
    sector[13] = static_cast<uint8_t>(plan.layout.sectorsPerCluster);
    put16(sector + 14, plan.reservedSectors);
    sector[16] = 2; // FATs
    put16(sector + 17, plan.rootEntries);
    if (!fat32 && plan.totalSectors <= 0xFFFF)
        put16(sector + 19, plan.totalSectors);
    else
        put32(sector + 32, plan.totalSectors);
    sector[21] = kFixedDisk;
    if (!fat32)
        put16(sector + 22, plan.fatSectors);
    put16(sector + 24, volume.sectorsPerTrack);
    put16(sector + 26, volume.heads);
    put32(sector + 28, static_cast<uint32_t>(volume.hiddenSectors));
    if (fat32) {
        put32(sector + 36, plan.fatSectors); // both FATs kept alike, version 0.0
        put32(sector + 44, kRootCluster);
        put16(sector + 48, kFsInfoSector);
        put16(sector + 50, kBackupBootSector);
    }
    uint8_t* extended = sector + (fat32 ? 64 : 36);
    extended[0] = 0x80; // the first fixed disk
    extended[2] = 0x29; // serial, label and type follow
    put32(extended + 3, volume.serial);
    std::memcpy(extended + 7, paddedLabel(volume.label).data(), 11);
    std::memcpy(extended + 18,
                fat32                       ? "FAT32   "
                : plan.layout.fatBits == 16 ? "FAT16   "
                                            : "FAT12   ",
                8);
    sector[510] = 0x55;
    sector[511] = 0xAA;
}

void fillFsInfo(uint8_t* sector, const FatPlan& plan) {
    put32(sector, 0x41615252);
    put32(sector + 484, 0x61417272);
    put32(sector + 488, plan.clusters - 1); // all free but the root folder's
    put32(sector + 492, kRootCluster + 1);  // where a search for a free one starts
    put32(sector + 508, 0xAA550000);
}

// Entries 0 and 1 (the media byte, the volume clean and without errors) and, on FAT32, the
// root folder's one cluster.
void fillFatStart(uint8_t* sector, int bits) {
    static const uint8_t fat12[] = {kFixedDisk, 0xFF, 0xFF};
    static const uint8_t fat16[] = {kFixedDisk, 0xFF, 0xFF, 0xFF};
    static const uint8_t fat32[] = {kFixedDisk, 0xFF, 0xFF, 0x0F, 0xFF, 0xFF,
                                    0xFF,       0x0F, 0xFF, 0xFF, 0xFF, 0x0F};
    if (bits == 12)
        std::memcpy(sector, fat12, sizeof fat12);
    else if (bits == 16)
        std::memcpy(sector, fat16, sizeof fat16);
    else
        std::memcpy(sector, fat32, sizeof fat32);
}

void fillLabelEntry(uint8_t* entry, const std::string& label) {
    std::memcpy(entry, paddedLabel(label).data(), 11);
    entry[11] = kVolumeLabel;
    const std::tm now = localNow();
    const int year = std::max(now.tm_year + 1900, 1980) - 1980;
    put16(entry + 22, static_cast<uint32_t>(now.tm_hour << 11 | now.tm_min << 5 | now.tm_sec / 2));
    put16(entry + 24, static_cast<uint32_t>(year << 9 | (now.tm_mon + 1) << 5 | now.tm_mday));
}

// The sectors of the new file system that hold more than zeros, in blocks the device takes
// whole (the rest of a block is zeros of the file system too), by their index from the
// partition's start.
class Blocks {
public:
    explicit Blocks(size_t blockSize) : size_(blockSize) {}
    size_t blockSize() const { return size_; }
    uint8_t* sector(uint64_t offset) {
        std::vector<uint8_t>& block = blocks_[offset / size_];
        if (block.empty())
            block.assign(size_, 0);
        return block.data() + offset % size_;
    }
    const std::map<uint64_t, std::vector<uint8_t>>& all() const { return blocks_; }

private:
    size_t size_;
    std::map<uint64_t, std::vector<uint8_t>> blocks_;
};

Blocks structuresOf(const FatPlan& plan, const FatVolume& volume, size_t blockSize) {
    Blocks blocks(blockSize);
    const uint64_t sector = plan.layout.sectorSize;
    fillBootSector(blocks.sector(0), plan, volume);
    if (plan.layout.fatBits == 32) {
        fillBootSector(blocks.sector(kBackupBootSector * sector), plan, volume);
        fillFsInfo(blocks.sector(kFsInfoSector * sector), plan);
        fillFsInfo(blocks.sector((kBackupBootSector + kFsInfoSector) * sector), plan);
    }
    fillFatStart(blocks.sector(plan.firstFatSector() * sector), plan.layout.fatBits);
    fillFatStart(blocks.sector((plan.firstFatSector() + plan.fatSectors) * sector),
                 plan.layout.fatBits);
    // FAT32's root folder is its cluster 2, the first of the data.
    if (!volume.label.empty())
        fillLabelEntry(blocks.sector(uint64_t{plan.rootSector()} * sector), volume.label);
    return blocks;
}

std::string errorText(int error) {
#ifdef _WIN32
    if (error == ENOMEDIUM)
        return "No medium found";
    if (error == ESHUTDOWN)
        return "The device has gone";
#endif
    return std::strerror(error);
}

// One format's writing: where it goes, how far it has got, whether it is to stop.
struct Writing {
    BlockDevice& device;
    uint64_t offset;
    uint64_t length;
    const std::function<void(int)>& progress;
    const unsigned char* abortFlag;
    uint64_t work = 0; // bytes to write in all
    int told = -1;

    void tell(uint64_t done) {
        // 100 only once everything is on the medium.
        const int percent = static_cast<int>(std::min<uint64_t>(done * 100 / work, 99));
        if (progress && percent != told)
            progress(percent);
        told = percent;
    }
    FatWriteOutcome failed(const std::string& what, int error) const {
        return {FatWriteOutcome::End::Failed, what + ": " + errorText(error)};
    }
};

FatWriteOutcome aborted() {
    return {FatWriteOutcome::End::Aborted, "aborted"};
}

// Zeros over the reserved sectors, the FATs and the root folder, so nothing of what the
// partition held before reads as part of the new file system.
FatWriteOutcome zeroStructures(Writing& writing, uint64_t bytes) {
    const ZeroingOutcome zeroed = writeZeros(
        writing.device, writing.offset, writing.offset + bytes,
        [&](int percent) { writing.tell(bytes * static_cast<uint64_t>(percent) / 100); },
        writing.abortFlag);
    switch (zeroed.end) {
    case ZeroingOutcome::End::Done:
        return {};
    case ZeroingOutcome::End::Aborted:
        return aborted();
    case ZeroingOutcome::End::Failed:
        break;
    }
    return writing.failed("cannot clear the file system's structures", zeroed.error);
}

struct Run {
    uint64_t first = 0; // block index
    std::vector<const std::vector<uint8_t>*> blocks;
};

// Consecutive blocks go in one write each; the one with the boot sector goes last, so the
// volume is not there until all else is.
std::vector<Run> runsOf(const Blocks& blocks) {
    std::vector<Run> runs;
    for (const auto& [index, bytes] : blocks.all()) {
        if (runs.empty() || runs.back().first + runs.back().blocks.size() != index)
            runs.push_back(Run{index, {}});
        runs.back().blocks.push_back(&bytes);
    }
    if (!runs.empty() && runs.front().first == 0)
        std::rotate(runs.begin(), runs.begin() + 1, runs.end());
    return runs;
}

FatWriteOutcome writeStructures(Writing& writing, const Blocks& blocks, uint64_t doneBefore) {
    const size_t size = blocks.blockSize();
    uint64_t done = doneBefore;
    for (const Run& run : runsOf(blocks)) {
        if (AbortFlag::raisedAt(writing.abortFlag))
            return aborted();
        const uint64_t at = run.first * size;
        const auto length =
            static_cast<size_t>(std::min<uint64_t>(run.blocks.size() * size, writing.length - at));
        AlignedBuffer buffer(run.blocks.size() * size);
        if (!buffer)
            return writing.failed("no memory for the file system's structures", ENOMEM);
        for (size_t i = 0; i < run.blocks.size(); ++i)
            std::memcpy(buffer.data() + i * size, run.blocks[i]->data(), size);
        if (int rc = writing.device.writeAt(buffer.data(), length, writing.offset + at))
            return writing.failed("cannot write the file system at byte " + std::to_string(at) +
                                      " of the partition",
                                  rc);
        done += length;
        writing.tell(done);
    }
    if (int rc = writing.device.sync())
        return writing.failed("cannot write the file system", rc);
    return {};
}

// Blocks of the device's alignment where the partition lies on it, else of one sector.
size_t blockSizeFor(const BlockDevice& device, uint64_t offset, uint32_t sector) {
    const size_t alignment = device.alignment();
    if (alignment > sector && alignment <= kLargestWriteBlock && alignment % sector == 0 &&
        offset % alignment == 0)
        return alignment;
    return sector;
}

} // namespace

std::string fatLabelProblem(std::string_view label) {
    if (label.size() > 11)
        return "a FAT label has at most 11 characters";
    if (!label.empty() && label.front() == ' ')
        return "a FAT label cannot begin with a space";
    for (const char c : label) {
        if (c < 0x20 || c > 0x7E)
            return "a FAT label holds only letters, digits, spaces and punctuation of ASCII";
        if (c >= 'a' && c <= 'z')
            return "a FAT label is upper-case";
        if (std::strchr("\"*+,./:;<=>?[\\]|", c))
            return std::string("a FAT label cannot hold \"") + c + "\"";
    }
    return {};
}

std::uint32_t fatVolumeSerial() {
    const std::tm now = localNow();
    const auto hundredths =
        static_cast<uint32_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                  std::chrono::system_clock::now().time_since_epoch())
                                  .count() %
                              1000 / 10);
    const uint32_t low = static_cast<uint32_t>((now.tm_mon + 1) << 8 | now.tm_mday) +
                         (static_cast<uint32_t>(now.tm_sec) << 8 | hundredths);
    const uint32_t high = static_cast<uint32_t>(now.tm_hour << 8 | now.tm_min) +
                          static_cast<uint32_t>(now.tm_year + 1900);
    return (high & 0xFFFF) << 16 | (low & 0xFFFF);
}

FatWriteOutcome writeFatFileSystem(BlockDevice& device, uint64_t offset, uint64_t length,
                                   const FatVolume& volume,
                                   const std::function<void(int percent)>& progress,
                                   const unsigned char* abortFlag) {
    auto refused = [](const std::string& why) {
        return FatWriteOutcome{FatWriteOutcome::End::Failed, why};
    };
    if (std::string why = fatLabelProblem(volume.label); !why.empty())
        return refused("the label cannot be kept: " + why);
    std::string why;
    const std::optional<FatPlan> plan = planFat(length, volume.layout, &why);
    if (!plan)
        return refused(why);
    if (volume.hiddenSectors > 0xFFFFFFFF)
        return refused("the partition begins too far into the disk for FAT");
    if (device.readOnly())
        return refused("the disk is read-only");
    if (offset > device.size() || length > device.size() - offset)
        return refused("the partition reaches past the end of the disk");

    const uint64_t sector = plan->layout.sectorSize;
    const Blocks blocks =
        structuresOf(*plan, volume, blockSizeFor(device, offset, plan->layout.sectorSize));
    const uint64_t structures = blocks.all().size() * blocks.blockSize();
    // What is cleared ends with the root folder, FAT32's cluster 2 included.
    uint64_t zeros = 0;
    if (!volume.readsAsZeros) {
        const uint64_t rootEnd =
            plan->dataSector() + (plan->layout.fatBits == 32 ? plan->layout.sectorsPerCluster : 0);
        const uint64_t block = blocks.blockSize();
        zeros = std::min((rootEnd * sector + block - 1) / block * block, length);
    }
    Writing writing{device, offset, length, progress, abortFlag, zeros + structures};
    writing.tell(0);
    if (zeros) {
        if (FatWriteOutcome cleared = zeroStructures(writing, zeros);
            cleared.end != FatWriteOutcome::End::Done)
            return cleared;
    }
    FatWriteOutcome written = writeStructures(writing, blocks, zeros);
    if (written.end == FatWriteOutcome::End::Done && progress)
        progress(100);
    return written;
}

} // namespace kestrune::blockio
