#include "platform/windows/SetupDiskEnumerator.h"

#include "platform/MediumNames.h"
#include "platform/SystemLog.h"

#include <algorithm>
#include <cstring>

namespace kestrune::platform::windows_impl {

namespace {

// CM_REMOVAL_POLICY_EXPECT_ORDERLY_REMOVAL and _SURPRISE_REMOVAL; 1 is a fixed disk.
constexpr DWORD kOrderlyRemoval = 2;
constexpr DWORD kSurpriseRemoval = 3;
// MAX_DEVICE_ID_LEN, with room to spare.
constexpr DWORD kInstanceIdLength = 512;
// Beyond any real interface path: a larger answer is a broken one.
constexpr DWORD kMostDetailBytes = 64 * 1024;

class DeviceInfoSet {
public:
    DeviceInfoSet(const DiskCalls& calls, HDEVINFO set) : calls_(calls), set_(set) {}
    ~DeviceInfoSet() {
        if (valid())
            calls_.destroyDeviceInfoList(set_);
    }
    DeviceInfoSet(const DeviceInfoSet&) = delete;
    DeviceInfoSet& operator=(const DeviceInfoSet&) = delete;
    bool valid() const { return set_ != INVALID_HANDLE_VALUE && set_ != nullptr; }
    HDEVINFO get() const { return set_; }

private:
    const DiskCalls& calls_;
    HDEVINFO set_;
};

// Tells one device from another that later gets the same disk number.
std::uint64_t fingerprint(const QString& text) {
    std::uint64_t hash = 14695981039346656037ull;
    for (QChar c : text.toUpper()) {
        hash ^= c.unicode();
        hash *= 1099511628211ull;
    }
    return hash;
}

// A NUL-terminated string of the descriptor, never read past what it answered.
QString descriptorText(const std::uint8_t* buffer, DWORD size, DWORD offset) {
    if (offset == 0 || offset >= size)
        return {};
    const auto* start = reinterpret_cast<const char*>(buffer + offset);
    const auto* end = static_cast<const char*>(std::memchr(start, 0, size - offset));
    const qsizetype length = end ? end - start : static_cast<qsizetype>(size - offset);
    return cleanDeviceText(QByteArray(start, length));
}

bool noMedium(DWORD error) {
    return error == ERROR_NOT_READY || error == ERROR_NO_MEDIA_IN_DRIVE ||
           error == ERROR_MEDIA_CHANGED;
}

MediumType mediumTypeOf(STORAGE_BUS_TYPE bus, bool removableMedia, const QString& product) {
    if (bus == BusTypeSd || bus == BusTypeMmc || namesCardReader(product))
        return MediumType::MemoryCard;
    if (bus == BusTypeUsb && (removableMedia || namesFlashDrive(product)))
        return MediumType::UsbFlashDrive;
    return MediumType::Disk;
}

// "E:\" is shown as "E:", a folder it is mounted on without its last "\".
QString mountPointOf(const DiskCalls& calls, const QString& volumeName) {
    std::vector<wchar_t> names(MAX_PATH);
    DWORD needed = 0;
    if (!calls.getVolumePathNames(wide(volumeName), names.data(), static_cast<DWORD>(names.size()),
                                  &needed)) {
        if (calls.getLastError() != ERROR_MORE_DATA || needed <= names.size())
            return {};
        names.assign(needed, L'\0');
        if (!calls.getVolumePathNames(wide(volumeName), names.data(), needed, &needed))
            return {};
    }
    QString first;
    for (const wchar_t* name = names.data(); *name; name += std::wcslen(name) + 1) {
        QString path = QString::fromWCharArray(name);
        if (path.size() > 1 && path.endsWith(QLatin1Char('\\')))
            path.chop(1);
        // A drive letter is what the user knows the volume by.
        if (path.size() == 2 && path[1] == QLatin1Char(':'))
            return path;
        if (first.isEmpty())
            first = path;
    }
    return first;
}

VolumeInfo describeVolume(const DiskCalls& calls, const VolumeOnDisks& entry, DWORD disk) {
    VolumeInfo volume;
    volume.devicePath = entry.name.endsWith(QLatin1Char('\\')) ? entry.name.chopped(1) : entry.name;
    volume.name = entry.partition != 0
                      ? QStringLiteral("Harddisk%1Partition%2").arg(disk).arg(entry.partition)
                      : volume.devicePath.mid(volume.devicePath.lastIndexOf(QLatin1Char('\\')) + 1);
    volume.mountPoint = mountPointOf(calls, entry.name);
    wchar_t label[MAX_PATH + 1] = {};
    wchar_t fileSystem[MAX_PATH + 1] = {};
    DWORD serial = 0;
    // A volume without a file system Windows knows answers nothing: no label, no type.
    if (calls.getVolumeInformation(wide(entry.name), label, MAX_PATH + 1, &serial, nullptr, nullptr,
                                   fileSystem, MAX_PATH + 1)) {
        volume.label = cleanDisplayText(QString::fromWCharArray(label));
        volume.fsType = QString::fromWCharArray(fileSystem);
        volume.fsUuid = QStringLiteral("%1-%2")
                            .arg(serial >> 16, 4, 16, QLatin1Char('0'))
                            .arg(serial & 0xFFFF, 4, 16, QLatin1Char('0'))
                            .toUpper();
    }
    return volume;
}

} // namespace

QString busName(STORAGE_BUS_TYPE bus) {
    switch (bus) {
    case BusTypeScsi:
        return QStringLiteral("SCSI");
    case BusTypeAtapi:
        return QStringLiteral("ATAPI");
    case BusTypeAta:
        return QStringLiteral("ATA");
    case BusType1394:
        return QStringLiteral("1394");
    case BusTypeSsa:
        return QStringLiteral("SSA");
    case BusTypeFibre:
        return QStringLiteral("FIBRE");
    case BusTypeUsb:
        return QStringLiteral("USB");
    case BusTypeRAID:
        return QStringLiteral("RAID");
    case BusTypeiScsi:
        return QStringLiteral("ISCSI");
    case BusTypeSas:
        return QStringLiteral("SAS");
    case BusTypeSata:
        return QStringLiteral("SATA");
    case BusTypeSd:
        return QStringLiteral("SD");
    case BusTypeMmc:
        return QStringLiteral("MMC");
    case BusTypeVirtual:
    case BusTypeFileBackedVirtual:
        return QStringLiteral("VIRTUAL");
    case BusTypeSpaces:
        return QStringLiteral("SPACES");
    case BusTypeNvme:
        return QStringLiteral("NVME");
    default:
        return {};
    }
}

QString serialOfInstance(const QString& instanceId) {
    const QString last = instanceId.mid(instanceId.lastIndexOf(QLatin1Char('\\')) + 1);
    const qsizetype amp = last.indexOf(QLatin1Char('&'));
    // "7&2a9c3f1&0": a number Windows made up, the "&" in second place.
    if (amp <= 1)
        return {};
    return cleanDisplayText(last.left(amp));
}

void SetupDiskEnumerator::readDevice(const QString& devicePath, DiskInfo& disk,
                                     QString& failure) const {
    Handle device(calls_, calls_.createFile(wide(devicePath), GENERIC_READ,
                                            FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                            OPEN_EXISTING, 0, nullptr));
    if (!device.valid()) {
        failure = QStringLiteral("it does not open: ") + win32Message(calls_.getLastError());
        return;
    }
    DWORD error = 0;
    const auto number = deviceNumberOf(calls_, device.get(), &error);
    if (!number) {
        failure = QStringLiteral("it tells no disk number: ") + win32Message(error);
        return;
    }
    disk.name = QStringLiteral("PhysicalDrive%1").arg(*number);
    disk.identity.path = physicalDrivePath(*number);
    disk.identity.devt = *number;

    STORAGE_PROPERTY_QUERY query{};
    query.PropertyId = StorageDeviceProperty;
    query.QueryType = PropertyStandardQuery;
    alignas(STORAGE_DEVICE_DESCRIPTOR) std::uint8_t buffer[1024] = {};
    error = control(calls_, device.get(), IOCTL_STORAGE_QUERY_PROPERTY, buffer, sizeof buffer,
                    &query, sizeof query);
    if (error == 0) {
        const auto* descriptor = reinterpret_cast<const STORAGE_DEVICE_DESCRIPTOR*>(buffer);
        const DWORD size = std::min<DWORD>(descriptor->Size, sizeof buffer);
        disk.vendor = descriptorText(buffer, size, descriptor->VendorIdOffset);
        disk.product = descriptorText(buffer, size, descriptor->ProductIdOffset);
        disk.serial = descriptorText(buffer, size, descriptor->SerialNumberOffset);
        disk.bus = busName(descriptor->BusType);
        disk.mediumType =
            mediumTypeOf(descriptor->BusType, descriptor->RemovableMedia != 0, disk.product);
    } else {
        failure = QStringLiteral("it does not describe itself: ") + win32Message(error);
    }

    // A card reader without a card is listed, without a size.
    const DWORD verify = control(calls_, device.get(), IOCTL_STORAGE_CHECK_VERIFY2, nullptr, 0);
    GET_LENGTH_INFORMATION length{};
    error = noMedium(verify)
                ? verify
                : control(calls_, device.get(), IOCTL_DISK_GET_LENGTH_INFO, &length, sizeof length);
    if (error == 0 && length.Length.QuadPart > 0) {
        disk.sizeBytes = static_cast<std::uint64_t>(length.Length.QuadPart);
        disk.hasMedium = true;
    } else if (error != 0 && !noMedium(error)) {
        failure = QStringLiteral("it does not tell its size: ") + win32Message(error);
    }
    disk.readOnly = disk.hasMedium && control(calls_, device.get(), IOCTL_DISK_IS_WRITABLE, nullptr,
                                              0) == ERROR_WRITE_PROTECT;
}

SetupDiskEnumerator::Candidate
SetupDiskEnumerator::readInterface(HDEVINFO set, SP_DEVICE_INTERFACE_DATA& interfaceData,
                                   bool evenFixed) const {
    Candidate candidate;
    DWORD required = 0;
    calls_.getDeviceInterfaceDetail(set, &interfaceData, nullptr, 0, &required, nullptr);
    if (required < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W) || required > kMostDetailBytes) {
        candidate.failure =
            QStringLiteral("its path cannot be read: ") + win32Message(calls_.getLastError());
        return candidate;
    }
    std::vector<DWORD> words((required + sizeof(DWORD) - 1) / sizeof(DWORD) + 1, 0);
    auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(words.data());
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
    SP_DEVINFO_DATA device{};
    device.cbSize = sizeof device;
    if (!calls_.getDeviceInterfaceDetail(set, &interfaceData, detail, required, nullptr, &device)) {
        candidate.failure =
            QStringLiteral("its path cannot be read: ") + win32Message(calls_.getLastError());
        return candidate;
    }
    const QString path = QString::fromWCharArray(detail->DevicePath);
    DWORD policy = 0;
    if (!calls_.getDeviceRegistryProperty(set, &device, SPDRP_REMOVAL_POLICY, nullptr,
                                          reinterpret_cast<PBYTE>(&policy), sizeof policy,
                                          nullptr)) {
        candidate.failure = QStringLiteral("%1: its removal policy cannot be read: %2")
                                .arg(path, win32Message(calls_.getLastError()));
        return candidate;
    }
    candidate.removalExpected = policy == kOrderlyRemoval || policy == kSurpriseRemoval;
    if (!candidate.removalExpected && !evenFixed)
        return candidate; // the system's own disks are not even opened

    DiskInfo disk;
    QString failure;
    readDevice(path, disk, failure);
    if (!failure.isEmpty())
        candidate.failure = path + QStringLiteral(": ") + failure;
    if (disk.identity.path.isEmpty())
        return candidate; // no number: no path the engine could be given
    wchar_t instance[kInstanceIdLength] = {};
    if (calls_.getDeviceInstanceId(set, &device, instance, kInstanceIdLength, nullptr)) {
        const QString id = QString::fromWCharArray(instance);
        disk.identity.diskseq = fingerprint(id);
        if (disk.serial.isEmpty())
            disk.serial = serialOfInstance(id);
    }
    candidate.disk = std::move(disk);
    return candidate;
}

std::optional<std::vector<SetupDiskEnumerator::Candidate>>
SetupDiskEnumerator::candidates(bool evenFixed, QString* failure) const {
    DeviceInfoSet set(calls_, calls_.getClassDevs(&kDiskInterface, nullptr, nullptr,
                                                  DIGCF_PRESENT | DIGCF_DEVICEINTERFACE));
    if (!set.valid()) {
        if (failure)
            *failure = QStringLiteral("the disks cannot be listed: ") +
                       win32Message(calls_.getLastError());
        return std::nullopt;
    }
    std::vector<Candidate> found;
    for (DWORD index = 0;; ++index) {
        SP_DEVICE_INTERFACE_DATA interfaceData{};
        interfaceData.cbSize = sizeof interfaceData;
        if (!calls_.enumDeviceInterfaces(set.get(), nullptr, &kDiskInterface, index,
                                         &interfaceData)) {
            const DWORD error = calls_.getLastError();
            if (error == ERROR_NO_MORE_ITEMS)
                break;
            // The list broke off: a disk among those not seen may be the one a job runs on.
            if (failure)
                *failure = QStringLiteral("the list of disks broke off: ") + win32Message(error);
            return std::nullopt;
        }
        found.push_back(readInterface(set.get(), interfaceData, evenFixed));
    }
    return found;
}

bool SetupDiskEnumerator::addVolumes(std::vector<DiskInfo>& disks,
                                     std::vector<DWORD>& systemDiskNumbers,
                                     QString* failure) const {
    DWORD error = 0;
    const auto volumes = volumesWithDisks(calls_, &error);
    if (!volumes) {
        if (failure)
            *failure = QStringLiteral("the volumes cannot be listed: ") + win32Message(error);
        return false;
    }
    const auto system = systemDisks(calls_, *volumes);
    if (!system) {
        if (failure)
            *failure = QStringLiteral("the disk Windows runs from cannot be told");
        return false;
    }
    systemDiskNumbers = *system;
    for (DiskInfo& disk : disks) {
        const auto number = static_cast<DWORD>(disk.identity.devt);
        for (const VolumeOnDisks& entry : *volumes)
            if (std::find(entry.disks.begin(), entry.disks.end(), number) != entry.disks.end())
                disk.volumes.push_back(describeVolume(calls_, entry, number));
    }
    return true;
}

std::optional<std::vector<DiskInfo>> SetupDiskEnumerator::enumerate() const {
    QString failure;
    const auto found = candidates(false, &failure);
    if (!found) {
        LogWarning(QStringLiteral("Disk list: ") + failure);
        return std::nullopt;
    }
    std::vector<DiskInfo> disks;
    for (const Candidate& candidate : *found) {
        if (!candidate.failure.isEmpty() && (candidate.removalExpected || !candidate.disk))
            LogWarning(QStringLiteral("Disk list: ") + candidate.failure);
        if (candidate.removalExpected && candidate.disk)
            disks.push_back(*candidate.disk);
    }
    if (disks.empty())
        return disks;
    std::vector<DWORD> system;
    if (!addVolumes(disks, system, &failure)) {
        LogWarning(QStringLiteral("Disk list: ") + failure);
        return std::nullopt;
    }
    // Windows started from a stick (Windows To Go) never lists its own disk.
    std::erase_if(disks, [&](const DiskInfo& disk) {
        return std::find(system.begin(), system.end(), static_cast<DWORD>(disk.identity.devt)) !=
               system.end();
    });
    return disks;
}

} // namespace kestrune::platform::windows_impl
