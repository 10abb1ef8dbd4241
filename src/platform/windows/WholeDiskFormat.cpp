#include "WholeDiskFormat.h"

#include "DriveDevice.h"

#include "base/AbortFlag.h"
#include "base/FatWriter.h"
#include "base/Win32Handle.h"
#include "base/Win32Volumes.h"
#include "base/Zeroing.h"

#include <winioctl.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <random>
#include <utility>
#include <vector>

namespace kestrune::platform {

namespace {

using win32::kShareReadWrite;
constexpr uint64_t kPartitionStart = 1 << 20; // aligned to every flash page and erase block
constexpr uint64_t kMbrUpTo = 2ull << 40;     // an MBR counts 32-bit sectors of 512 bytes
constexpr DWORD kGptEntries = 128;
// The GPT's basic data partition, EBD0A0A2-B9E5-4433-87C0-68B6B72699C7.
constexpr GUID kBasicData = {
    0xEBD0A0A2, 0xB9E5, 0x4433, {0x87, 0xC0, 0x68, 0xB6, 0xB7, 0x26, 0x99, 0xC7}};

using Handle = win32::Handle<FormatCalls>;
using win32::control;

// The drive and the volumes locked on it, for as long as the format runs; closing a
// volume's handle lets go of its lock.
struct OpenedDrive {
    explicit OpenedDrive(const FormatCalls& c) : calls(c) {}
    ~OpenedDrive() {
        for (HANDLE volume : volumes)
            calls.closeHandle(volume);
    }
    OpenedDrive(const OpenedDrive&) = delete;
    OpenedDrive& operator=(const OpenedDrive&) = delete;
    const FormatCalls& calls;
    std::vector<HANDLE> volumes;
    std::unique_ptr<Handle> drive;
};

std::string failed(const std::string& what, DWORD error) {
    return what + ": " + win32Text(error);
}

std::string openDrive(const WholeDiskFormat& request, OpenedDrive& drive) {
    const FormatCalls& calls = drive.calls;
    const std::wstring path = L"\\\\.\\PhysicalDrive" + std::to_wstring(request.deviceNumber);
    drive.drive = std::make_unique<Handle>(
        calls,
        calls.createFile(path.c_str(), GENERIC_READ | GENERIC_WRITE, kShareReadWrite, nullptr,
                         OPEN_EXISTING, FILE_FLAG_NO_BUFFERING | FILE_FLAG_WRITE_THROUGH, nullptr));
    if (!drive.drive->valid())
        return failed("the disk cannot be opened", calls.getLastError());
    if (request.requireRemovable && !win32::isRemovableDisk(calls, drive.drive->get()))
        return "the disk cannot be opened: it is not a removable disk";
    std::vector<std::wstring> volumes;
    DWORD error = 0;
    switch (win32::volumesOnDisk(calls, request.deviceNumber, volumes, error)) {
    case win32::VolumeListing::Listed:
        break;
    case win32::VolumeListing::SystemDisk:
        return "the disk cannot be opened: the running system lives on it";
    case win32::VolumeListing::SystemUnknown:
        return failed("the system's own disk cannot be told apart", error);
    case win32::VolumeListing::ListFailed:
        return failed("the disk's volumes cannot be listed", error);
    }
    // The drive's list of volumes holds the locks, also those taken before a failure.
    switch (win32::lockAndDismount(calls, volumes, request.lockWait, drive.volumes, error)) {
    case win32::VolumeLocking::Locked:
        return {};
    case win32::VolumeLocking::OpenFailed:
        return failed("a volume on the disk cannot be opened", error);
    case win32::VolumeLocking::InUse:
        return failed("a volume on the disk stays in use", error);
    case win32::VolumeLocking::DismountFailed:
        return failed("a volume on the disk cannot be dismounted", error);
    }
    return {};
}

struct DriveShape {
    uint64_t size = 0;
    uint32_t sector = 512;
    uint16_t heads = 255;
    uint16_t sectorsPerTrack = 63;
};

std::string readShape(const FormatCalls& calls, HANDLE drive, DriveShape& shape) {
    DISK_GEOMETRY_EX geometry{};
    if (DWORD error =
            control(calls, drive, IOCTL_DISK_GET_DRIVE_GEOMETRY_EX, &geometry, sizeof geometry))
        return failed("cannot read the disk's geometry", error);
    const DWORD sector = geometry.Geometry.BytesPerSector;
    if (sector < 512 || sector > 4096 || (sector & (sector - 1)) != 0)
        return "the disk's sectors of " + std::to_string(sector) + " bytes hold no FAT";
    shape.size = static_cast<uint64_t>(geometry.DiskSize.QuadPart);
    shape.sector = sector;
    // The boot sector records them; a stick that tells none gets what an LBA disk shows.
    if (geometry.Geometry.TracksPerCylinder > 0 && geometry.Geometry.TracksPerCylinder <= 255)
        shape.heads = static_cast<uint16_t>(geometry.Geometry.TracksPerCylinder);
    if (geometry.Geometry.SectorsPerTrack > 0 && geometry.Geometry.SectorsPerTrack <= 63)
        shape.sectorsPerTrack = static_cast<uint16_t>(geometry.Geometry.SectorsPerTrack);
    return {};
}

uint32_t randomWord() {
    static std::random_device source;
    return source();
}

GUID randomGuid() {
    GUID id{};
    const uint32_t words[4] = {randomWord(), randomWord(), randomWord(), randomWord()};
    std::memcpy(&id, words, sizeof id);
    id.Data3 = static_cast<unsigned short>((id.Data3 & 0x0FFF) | 0x4000); // version 4
    id.Data4[0] = static_cast<unsigned char>((id.Data4[0] & 0x3F) | 0x80);
    return id;
}

// An MBR has four entries, the unused ones rewritten empty; a GPT gets just its one.
struct DriveLayout {
    DRIVE_LAYOUT_INFORMATION_EX head;
    PARTITION_INFORMATION_EX more[3];
};

// The layout for the table CREATE_DISK made, with its disk's identity again.
DriveLayout layoutOf(const WholeDiskPartition& partition, uint64_t diskBytes, uint32_t sector,
                     const CREATE_DISK& created) {
    DriveLayout layout{};
    PARTITION_INFORMATION_EX& entry = layout.head.PartitionEntry[0];
    entry.StartingOffset.QuadPart = static_cast<LONGLONG>(partition.offset);
    entry.PartitionLength.QuadPart = static_cast<LONGLONG>(partition.length);
    entry.PartitionNumber = 1;
    entry.RewritePartition = TRUE;
    if (partition.gpt) {
        const uint64_t entries = kGptEntries * 128 / sector; // sectors of the partition array
        layout.head.PartitionStyle = PARTITION_STYLE_GPT;
        layout.head.PartitionCount = 1;
        layout.head.Gpt.DiskId = created.Gpt.DiskId;
        layout.head.Gpt.StartingUsableOffset.QuadPart =
            static_cast<LONGLONG>((2 + entries) * sector);
        layout.head.Gpt.UsableLength.QuadPart =
            static_cast<LONGLONG>(diskBytes - (3 + 2 * entries) * sector);
        layout.head.Gpt.MaxPartitionCount = kGptEntries;
        entry.PartitionStyle = PARTITION_STYLE_GPT;
        entry.Gpt.PartitionType = kBasicData;
        entry.Gpt.PartitionId = randomGuid();
        return layout;
    }
    layout.head.PartitionStyle = PARTITION_STYLE_MBR;
    layout.head.PartitionCount = 4;
    layout.head.Mbr.Signature = created.Mbr.Signature;
    entry.PartitionStyle = PARTITION_STYLE_MBR;
    entry.Mbr.PartitionType = partition.mbrType;
    entry.Mbr.RecognizedPartition = TRUE;
    entry.Mbr.HiddenSectors = static_cast<DWORD>(partition.offset / sector);
    for (PARTITION_INFORMATION_EX& unused : layout.more) {
        unused.PartitionStyle = PARTITION_STYLE_MBR;
        unused.RewritePartition = TRUE;
    }
    return layout;
}

// What lies outside the partition is zeroed first, so no old signature (a GPT's backup at
// the end) is left behind; then the system writes the new table and reads it.
std::string writeTable(const FormatCalls& calls, HANDLE drive, blockio::BlockDevice& device,
                       const WholeDiskPartition& partition, uint32_t sector) {
    blockio::ZeroingOutcome zeroed = blockio::writeZeros(device, sector, partition.offset);
    if (zeroed.end == blockio::ZeroingOutcome::End::Done)
        zeroed = blockio::writeZeros(device, partition.offset + partition.length, device.size());
    if (zeroed.end != blockio::ZeroingOutcome::End::Done)
        return "cannot write the partition table: " + std::string(std::strerror(zeroed.error));
    CREATE_DISK create{};
    create.PartitionStyle = partition.gpt ? PARTITION_STYLE_GPT : PARTITION_STYLE_MBR;
    if (partition.gpt) {
        create.Gpt.DiskId = randomGuid();
        create.Gpt.MaxPartitionCount = kGptEntries;
    } else {
        create.Mbr.Signature = randomWord() | 1; // never 0, which means none
    }
    if (DWORD error =
            control(calls, drive, IOCTL_DISK_CREATE_DISK, nullptr, 0, &create, sizeof create))
        return failed(partition.gpt ? "cannot create a GPT" : "cannot create an MBR", error);
    DriveLayout layout = layoutOf(partition, device.size(), sector, create);
    if (DWORD error = control(calls, drive, IOCTL_DISK_SET_DRIVE_LAYOUT_EX, nullptr, 0, &layout,
                              sizeof layout))
        return failed("cannot write the partition table", error);
    // The table is on the disk whether or not the system reads it now.
    control(calls, drive, IOCTL_DISK_UPDATE_PROPERTIES);
    return {};
}

// Zeros over the partition, their progress the format's.
std::string zeroPartition(blockio::BlockDevice& device, const WholeDiskPartition& partition,
                          const WholeDiskFormat& request, bool* aborted) {
    const blockio::ZeroingOutcome zeroed =
        blockio::writeZeros(device, partition.offset, partition.offset + partition.length,
                            request.progress, request.abortFlag);
    switch (zeroed.end) {
    case blockio::ZeroingOutcome::End::Done:
        return {};
    case blockio::ZeroingOutcome::End::Aborted:
        *aborted = true;
        return "aborted while zeroing the partition";
    case blockio::ZeroingOutcome::End::Failed:
        break;
    }
    return "zeroing the partition failed: " + std::string(std::strerror(zeroed.error));
}

class HookGuard {
public:
    explicit HookGuard(const WholeDiskFormat& request) : request_(request) {
        if (request_.beforePartitioning)
            request_.beforePartitioning();
    }
    ~HookGuard() {
        if (request_.afterPartitioning)
            request_.afterPartitioning();
    }
    HookGuard(const HookGuard&) = delete;
    HookGuard& operator=(const HookGuard&) = delete;

private:
    const WholeDiskFormat& request_;
};

// The partition zeroed (unless the disk reads as zeros) and its file system written.
void makeVolume(blockio::BlockDevice& device, const WholeDiskPartition& partition,
                const WholeDiskFormat& request, const DriveShape& shape,
                WholeDiskOutcome& outcome) {
    std::function<void(int)> structures;
    if (!request.diskReadsAsZeros) {
        outcome.failure = zeroPartition(device, partition, request, &outcome.aborted);
    } else if (request.progress) {
        // Only the structures are written, and the progress follows them: 1 % at once, then
        // 50..100 %.
        request.progress(1);
        structures = [&](int percent) { request.progress(50 + percent / 2); };
    }
    if (!outcome.failure.empty())
        return;
    const std::string labelRefused = blockio::fatLabelProblem(request.label);
    blockio::FatVolume volume;
    volume.layout = partition.layout;
    volume.hiddenSectors = partition.offset / partition.layout.sectorSize;
    volume.label = labelRefused.empty() ? request.label : std::string();
    volume.serial = blockio::fatVolumeSerial();
    volume.heads = shape.heads;
    volume.sectorsPerTrack = shape.sectorsPerTrack;
    volume.readsAsZeros = true; // zeroed just now, or by the job before
    const blockio::FatWriteOutcome written = blockio::writeFatFileSystem(
        device, partition.offset, partition.length, volume, structures, request.abortFlag);
    if (written.end == blockio::FatWriteOutcome::End::Aborted) {
        outcome.aborted = true;
        outcome.failure = "aborted while making the file system";
    } else if (written.end == blockio::FatWriteOutcome::End::Failed) {
        outcome.failure = written.failure;
    } else {
        outcome.formatted = true;
        outcome.labelled = labelRefused.empty();
        if (!labelRefused.empty())
            outcome.failure = "the label cannot be kept: " + labelRefused;
    }
}

// An image file has no system to write its table: the MBR is written as the system would.
std::string writeImageTable(blockio::BlockDevice& device, const WholeDiskPartition& partition,
                            uint32_t sector) {
    if (partition.gpt)
        return "an image file larger than 2 TiB is not formatted";
    blockio::ZeroingOutcome zeroed = blockio::writeZeros(device, sector, partition.offset);
    if (zeroed.end == blockio::ZeroingOutcome::End::Done)
        zeroed = blockio::writeZeros(device, partition.offset + partition.length, device.size());
    blockio::AlignedBuffer mbr(sector);
    if (zeroed.end != blockio::ZeroingOutcome::End::Done || !mbr)
        return "cannot write the partition table: " +
               std::string(std::strerror(mbr ? zeroed.error : ENOMEM));
    std::memset(mbr.data(), 0, sector);
    auto put32 = [&](size_t at, uint32_t value) {
        for (int i = 0; i < 4; ++i)
            mbr.data()[at + i] = static_cast<uint8_t>(value >> (8 * i));
    };
    put32(440, randomWord() | 1); // the disk signature
    uint8_t* entry = mbr.data() + 446;
    // CHS fields say "beyond what CHS can address": LBA is what counts.
    const uint8_t chs[3] = {0xFE, 0xFF, 0xFF};
    std::memcpy(entry + 1, chs, 3);
    entry[4] = partition.mbrType;
    std::memcpy(entry + 5, chs, 3);
    put32(446 + 8, static_cast<uint32_t>(partition.offset / 512));
    put32(446 + 12, static_cast<uint32_t>(partition.length / 512));
    mbr.data()[510] = 0x55;
    mbr.data()[511] = 0xAA;
    if (const int error = device.writeAt(mbr.data(), sector, 0))
        return "cannot write the partition table: " + std::string(std::strerror(error));
    return {};
}

} // namespace

std::optional<WholeDiskPartition> planWholeDisk(uint64_t diskBytes, uint32_t sector,
                                                std::string* failure) {
    WholeDiskPartition partition;
    partition.gpt = diskBytes > kMbrUpTo;
    partition.offset = std::max<uint64_t>(kPartitionStart, sector);
    const uint64_t end =
        (partition.gpt ? diskBytes - kPartitionStart : diskBytes) / sector * sector;
    if (end <= partition.offset) {
        *failure = "the disk is too small for a partition";
        return std::nullopt;
    }
    partition.length = end - partition.offset;
    const std::optional<blockio::FatLayout> layout =
        blockio::chooseFatLayout(partition.length, sector, failure);
    if (!layout || !blockio::planFat(partition.length, *layout, failure))
        return std::nullopt;
    // Beyond 2 TiB of 512-byte sectors the FAT's own sectors must be larger, and Windows'
    // FAT driver mounts no volume whose sectors are not the disk's.
    if (layout->sectorSize != sector) {
        *failure = "the disk is too large for a FAT32 file system Windows can read";
        return std::nullopt;
    }
    partition.layout = *layout;
    partition.mbrType = partition.gpt           ? 0
                        : layout->fatBits == 32 ? 0x0C
                        : layout->fatBits == 16 ? 0x0E
                                                : 0x01;
    return partition;
}

WholeDiskOutcome formatPhysicalDrive(const FormatCalls& calls, const WholeDiskFormat& request) {
    WholeDiskOutcome outcome;
    OpenedDrive drive(calls);
    DriveShape shape;
    outcome.failure = openDrive(request, drive);
    if (outcome.failure.empty())
        outcome.failure = readShape(calls, drive.drive->get(), shape);
    if (!outcome.failure.empty())
        return outcome;
    // A disk no FAT can span is refused before anything is written to it.
    const std::optional<WholeDiskPartition> partition =
        planWholeDisk(shape.size, shape.sector, &outcome.failure);
    if (!partition)
        return outcome;
    if (kestrune::AbortFlag::raisedAt(request.abortFlag)) {
        outcome.aborted = true;
        outcome.failure = "aborted before the partition table was written";
        return outcome;
    }

    DriveDevice device(calls, drive.drive->get(), shape.size, shape.sector);
    HookGuard guard(request);
    outcome.failure = writeTable(calls, drive.drive->get(), device, *partition, shape.sector);
    if (outcome.failure.empty())
        makeVolume(device, *partition, request, shape, outcome);
    // The system mounts the new volume.
    control(calls, drive.drive->get(), IOCTL_DISK_UPDATE_PROPERTIES);
    return outcome;
}

WholeDiskOutcome formatImageFile(const FormatCalls& calls, const WholeDiskFormat& request) {
    WholeDiskOutcome outcome;
    DriveShape shape;
    shape.size = request.imageBytes / shape.sector * shape.sector;
    const std::optional<WholeDiskPartition> partition =
        planWholeDisk(shape.size, shape.sector, &outcome.failure);
    if (!partition)
        return outcome;
    if (kestrune::AbortFlag::raisedAt(request.abortFlag)) {
        outcome.aborted = true;
        outcome.failure = "aborted before the partition table was written";
        return outcome;
    }
    Handle image(calls,
                 calls.createFile(request.imageFile.c_str(), GENERIC_READ | GENERIC_WRITE,
                                  kShareReadWrite, nullptr, OPEN_EXISTING,
                                  FILE_FLAG_NO_BUFFERING | FILE_FLAG_WRITE_THROUGH, nullptr));
    if (!image.valid())
        return {false, false, false,
                failed("the image file cannot be opened", calls.getLastError())};
    DriveDevice device(calls, image.get(), shape.size, shape.sector);
    HookGuard guard(request);
    outcome.failure = writeImageTable(device, *partition, shape.sector);
    if (outcome.failure.empty())
        makeVolume(device, *partition, request, shape, outcome);
    return outcome;
}

} // namespace kestrune::platform
