#pragma once

#include "platform/DiskEnumerator.h"
#include "platform/windows/DiskCalls.h"

namespace kestrune::platform::windows_impl {

// The disks of the disk interface class that Windows expects to be removed (its removal
// policy), each read through its own device: number, size, descriptor, medium, write
// protection, and the volumes that lie on it. The disk the running Windows lives on is
// never listed.
class SetupDiskEnumerator final : public DiskEnumerator {
public:
    explicit SetupDiskEnumerator(const DiskCalls& calls) : calls_(calls) {}
    std::optional<std::vector<DiskInfo>> enumerate() const override;

    // One disk interface as the list would describe it, whatever its removal policy; the
    // reason when it cannot be read.
    struct Candidate {
        std::optional<DiskInfo> disk;
        bool removalExpected = false;
        QString failure;
    };
    // Every disk interface present; nothing when the system could not be asked, with why.
    // A disk Windows does not expect to be removed is read only when asked for.
    std::optional<std::vector<Candidate>> candidates(bool evenFixed,
                                                     QString* failure = nullptr) const;
    // Fills in the volumes of each disk; false when the volumes cannot be listed (then no
    // disk is known not to be the system's), with why.
    bool addVolumes(std::vector<DiskInfo>& disks, std::vector<DWORD>& systemDiskNumbers,
                    QString* failure = nullptr) const;

private:
    Candidate readInterface(HDEVINFO set, SP_DEVICE_INTERFACE_DATA& interfaceData,
                            bool evenFixed) const;
    void readDevice(const QString& devicePath, DiskInfo& disk, QString& failure) const;

    const DiskCalls& calls_;
};

// The bus's name as the list and the reports show it ("USB", "SD", "ATA", ...).
QString busName(STORAGE_BUS_TYPE bus);
// The serial number in a device instance identifier (USBSTOR\DISK&VEN_A&PROD_B\12345&0
// gives 12345); empty when Windows made the last part up because the device has none.
QString serialOfInstance(const QString& instanceId);

// Why a path ("\\.\PhysicalDrive2", "E:", an image file) names no disk of the list.
UnlistedDisk explainUnlisted(const DiskCalls& calls, const QString& path, bool simulated,
                             const QString& folder);

} // namespace kestrune::platform::windows_impl
