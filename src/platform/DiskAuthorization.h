#pragma once

#include <kestrune/disk_numbers.h>

#include <QString>
#include <cstdint>
#include <memory>

namespace kestrune::platform {

// A whole disk that the system opened for this process (read-write, exclusive, direct),
// which may not open it itself. The descriptor is closed when the object goes, and with it
// the exclusive open once every step has given back its duplicate.
class AuthorizedDisk {
public:
    explicit AuthorizedDisk(int descriptor);
    ~AuthorizedDisk();
    AuthorizedDisk(const AuthorizedDisk&) = delete;
    AuthorizedDisk& operator=(const AuthorizedDisk&) = delete;

    // Hands a duplicate to the disk-number pool, where the job's next step (the engine, the
    // format) takes it instead of opening the disk. False when the number is no longer in use.
    bool handOver(uint32_t deviceNumber) const;
    // Closes what the step did not take.
    void reclaim(uint32_t deviceNumber) const;

private:
    int descriptor_;
};

// Why the system did not open the disk for this process.
enum class DiskRefusal {
    None,
    NotAuthorized, // refused or cancelled, or nobody answered the question in time
    NoDiskService, // the system bus or its disk service is not there, or cannot hand over
    Busy,          // a volume stays mounted, or the disk is in use
    Gone,          // the service does not know the disk, or could not open it
    Aborted,       // the job was aborted while the system was asked
};

struct DiskOpening {
    DiskRefusal refusal = DiskRefusal::None;
    std::unique_ptr<AuthorizedDisk> disk;
    QString failure; // the system's own words
};

// The privileged steps of a job, done by the system's disk service on behalf of a process
// that is not root; the desktop's authorization agent may ask the user.
class DiskAuthorization {
public:
    virtual ~DiskAuthorization() = default;
    // Unmounts every mounted volume of the disk and opens it. Waits for the user's answer,
    // or until *abortFlag (read atomically) is set.
    virtual DiskOpening openForWriting(const KestruneDiskIdentity& identity,
                                       const unsigned char* abortFlag) = 0;
    // Has the kernel read the partition table again, once the job has closed the disk;
    // never asks the user, and a refusal changes nothing.
    virtual void rescan(const KestruneDiskIdentity& identity) = 0;
};

// What this process needs: nothing when it may open disks itself (root), else the disk
// service on the system bus.
std::shared_ptr<DiskAuthorization> diskAuthorizationForThisProcess();

} // namespace kestrune::platform
