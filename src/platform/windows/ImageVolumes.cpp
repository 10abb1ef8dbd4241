#include "platform/windows/ImageVolumes.h"

#include <array>
#include <cstring>

namespace kestrune::platform::windows_impl {

namespace {

constexpr std::size_t kSector = 512;
using Sector = std::array<std::uint8_t, kSector>;

unsigned word(const Sector& s, std::size_t at) {
    return s[at] | (unsigned{s[at + 1]} << 8);
}

std::uint32_t dword(const Sector& s, std::size_t at) {
    return word(s, at) | (std::uint32_t{word(s, at + 2)} << 16);
}

bool bytesAre(const Sector& s, std::size_t at, const char* text) {
    return std::memcmp(s.data() + at, text, std::strlen(text)) == 0;
}

bool readSector(const DiskCalls& calls, HANDLE file, std::uint64_t offset, Sector& sector) {
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(offset);
    at.OffsetHigh = static_cast<DWORD>(offset >> 32);
    DWORD done = 0;
    return calls.readFile(file, sector.data(), kSector, &done, &at) && done == kSector;
}

QString labelText(const std::uint8_t* bytes) {
    const QString label =
        cleanDeviceText(QByteArray(reinterpret_cast<const char*>(bytes), 11)).trimmed();
    return label == QLatin1String("NO NAME") ? QString() : label;
}

// The label in the root folder, where Windows keeps it, else the boot sector's.
QString fatLabel(const DiskCalls& calls, HANDLE file, std::uint64_t start, const Sector& boot,
                 bool fat32) {
    const unsigned bytesPerSector = word(boot, 11);
    const std::uint64_t reserved = word(boot, 14);
    const std::uint64_t fats = boot[16];
    const std::uint64_t fatSize = fat32 ? dword(boot, 36) : word(boot, 22);
    std::uint64_t root = reserved + fats * fatSize;
    if (fat32) // the root folder's first cluster
        root += (std::uint64_t{dword(boot, 44)} - 2) * boot[13];
    Sector entries{};
    if (readSector(calls, file, start + root * bytesPerSector, entries)) {
        for (std::size_t at = 0; at < kSector && entries[at] != 0; at += 32) {
            const std::uint8_t attributes = entries[at + 11];
            if (entries[at] != 0xE5 && (attributes & 0x0F) == 0x08)
                return labelText(entries.data() + at);
        }
    }
    return labelText(boot.data() + (fat32 ? 71 : 43));
}

// The file system at the offset: "vfat", "exfat", "ntfs", or none.
std::optional<VolumeInfo> fileSystemAt(const DiskCalls& calls, HANDLE file, std::uint64_t start) {
    Sector boot{};
    if (!readSector(calls, file, start, boot) || word(boot, 510) != 0xAA55)
        return std::nullopt;
    VolumeInfo volume;
    if (bytesAre(boot, 3, "EXFAT   ")) {
        volume.fsType = QStringLiteral("exfat");
        return volume;
    }
    if (bytesAre(boot, 3, "NTFS    ")) {
        volume.fsType = QStringLiteral("ntfs");
        return volume;
    }
    const unsigned bytesPerSector = word(boot, 11);
    const bool sane = bytesPerSector >= 512 && bytesPerSector <= 4096 &&
                      (bytesPerSector & (bytesPerSector - 1)) == 0 && boot[13] != 0 &&
                      boot[16] != 0;
    const bool fat32 = bytesAre(boot, 82, "FAT32");
    if (!sane || (!fat32 && !bytesAre(boot, 54, "FAT")))
        return std::nullopt;
    volume.fsType = QStringLiteral("vfat");
    volume.label = fatLabel(calls, file, start, boot, fat32);
    volume.fsUuid = QStringLiteral("%1-%2")
                        .arg(word(boot, fat32 ? 69 : 41), 4, 16, QLatin1Char('0'))
                        .arg(word(boot, fat32 ? 67 : 39), 4, 16, QLatin1Char('0'))
                        .toUpper();
    return volume;
}

bool isContainer(std::uint8_t type) {
    return type == 0x05 || type == 0x0F || type == 0x85;
}

} // namespace

std::vector<VolumeInfo> imageVolumes(const DiskCalls& calls, const QString& path,
                                     const QString& name) {
    std::vector<VolumeInfo> volumes;
    Handle file(calls,
                calls.createFile(wide(path), GENERIC_READ,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                 OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!file.valid())
        return volumes;
    if (auto whole = fileSystemAt(calls, file.get(), 0)) {
        whole->name = name;
        volumes.push_back(std::move(*whole));
        return volumes;
    }
    Sector mbr{};
    if (!readSector(calls, file.get(), 0, mbr) || word(mbr, 510) != 0xAA55)
        return volumes;
    for (int index = 0; index < 4; ++index) {
        const std::size_t entry = 446 + 16 * static_cast<std::size_t>(index);
        const std::uint8_t type = mbr[entry + 4];
        const std::uint32_t first = dword(mbr, entry + 8);
        if (type == 0 || isContainer(type) || first == 0 || dword(mbr, entry + 12) == 0)
            continue;
        VolumeInfo volume =
            fileSystemAt(calls, file.get(), std::uint64_t{first} * kSector).value_or(VolumeInfo{});
        volume.name = name + QStringLiteral("p%1").arg(index + 1);
        volumes.push_back(std::move(volume));
    }
    return volumes;
}

} // namespace kestrune::platform::windows_impl
