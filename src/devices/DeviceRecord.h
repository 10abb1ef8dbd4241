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
// Texts are written by the scan under the table's lock and read under it. The job fields
// are written by the GUI thread before a job's worker starts and by the progress display
// under the table's lock afterwards; jobState and the abort flag are atomic because the
// GUI thread, the watcher and the engine read them without any lock.
struct DeviceRecord {
    // Linux has no drive letters: the engine receives 0. The name of the disk's last volume
    // found by the volume pass stands in for it.
    std::uint16_t driveLetter = 0;
    QString volumeReference;

    std::atomic<std::int32_t> jobState{static_cast<std::int32_t>(JobState::Idle)};
    double averageSpeed = 0.0;
    std::uint64_t speedSamples = 0;
    std::int64_t startTime = 0;
    std::int64_t lastUpdateTime = 0;
    // When the bytes left last changed, and to what: a job whose device stopped answering
    // shows no speed and no time left.
    std::int64_t lastProgressTime = 0;
    std::int64_t lastBytesLeft = -1;
    // The bytes the job has written and read as its reports count them, and when the count
    // was first seen and last moved (ms of a steady clock): the job's mean speed at its end.
    std::int64_t firstBytesDone = 0;
    std::int64_t bytesDone = 0;
    std::int64_t firstProgressMs = -1;
    std::int64_t lastProgressMs = -1;
    // Raised to stop the disk's job; handed to the engine by address.
    AbortFlag abort;
    // GUI thread only: when Start was last pressed (steady clock, ms), so the second click
    // of a double click never aborts the job the first one started.
    std::int64_t startPressedAtMs = -1;

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

    // A new job on this disk: nothing of the last one's progress carries over.
    void beginJob(std::int64_t now) {
        startTime = now;
        averageSpeed = 0.0;
        speedSamples = 0;
        lastUpdateTime = 0;
        lastProgressTime = now;
        lastBytesLeft = -1;
        firstBytesDone = 0;
        bytesDone = 0;
        firstProgressMs = -1;
        lastProgressMs = -1;
    }

    JobState state() const { return static_cast<JobState>(jobState.load()); }
    void setState(JobState s) { jobState.store(static_cast<std::int32_t>(s)); }
};

} // namespace kestrune
