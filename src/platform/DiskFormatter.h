#pragma once

#include <kestrune/disk_numbers.h>
#include <kestrune/shred_abi.h>

#include <QString>
#include <cstdint>
#include <functional>

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
    ShredStatusCallback callback = nullptr;
    void* context = nullptr;
    // The job's abort flag (read atomically); the format stops within about a second.
    const unsigned char* abortFlag = nullptr;
    bool requireRemovable = true; // only tests of loop devices turn this off
};

struct FormatOutcome {
    bool formatted = false;
    bool labelled = false;
    bool aborted = false;
    QString failure; // why the format or the label failed
};

// A full format: one partition over the whole disk, zeros over it with progress reported as
// statuses 301..399, a FAT file system with the label, then status 400.
FormatOutcome formatWholeDisk(const FormatRequest& request, const PartitioningHooks& hooks);

} // namespace kestrune::platform
