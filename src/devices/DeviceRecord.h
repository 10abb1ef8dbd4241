#pragma once

#include "base/AbortFlag.h"
#include "platform/MediumType.h"

#include <QString>
#include <atomic>
#include <cstdint>

namespace kestrune {

enum class JobState : std::int32_t { Idle = 0, Running = 1, Finished = 2, Aborted = 4 };

inline constexpr std::uint32_t kUnknownDeviceNumber = 0xFFFFFFFFu;

// One removable disk. Shared between the table, the list's row, a running job and the
// engine, so it stays valid for as long as any of them still holds it.
//
// Texts are written by the scan under the table's lock and read under it. jobState, the
// abort flag and the counters are atomic because the GUI thread, the watcher and the engine
// read them without any lock. A job's progress is not the disk's: the job keeps it, and the
// list's row and the job table hold the job.
struct DeviceRecord {
    // Linux has no drive letters: the engine receives 0. The name of the disk's last volume
    // found by the volume pass stands in for it.
    std::uint16_t driveLetter = 0;
    QString volumeReference;

    // One job at a time: a start turns it Running with one check-and-set.
    std::atomic<std::int32_t> jobState{static_cast<std::int32_t>(JobState::Idle)};
    // Raised to stop the disk's job; handed to the engine by address.
    AbortFlag abort;

    std::uint32_t deviceNumber = 0;
    QString devicePath;
    std::atomic<std::int32_t> rowIndex{0};
    std::atomic<bool> stale{false};
    QString displayName;
    QString serialText;
    QString vendorText;
    QString productText;
    QString busText;
    platform::MediumType mediumType = platform::MediumType::Disk;
    QString sizeGigabytesText;
    // Capacity in bytes as the scan read it (0 when unknown), for the report.
    std::uint64_t sizeBytes = 0;
    // False for a reader without a card: listed, but a job must not start.
    std::atomic<bool> hasMedium{true};

    // Workers that hold the record (a job and its engine may still report under its
    // number): its disk number is not handed to another disk while this is above 0.
    std::atomic<int> workers{0};

    JobState state() const { return static_cast<JobState>(jobState.load()); }
    void setState(JobState s) { jobState.store(static_cast<std::int32_t>(s)); }
};

} // namespace kestrune
