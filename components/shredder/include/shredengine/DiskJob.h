// What the engine's entry asks of the platform's disk access, and the part of a job on a
// disk that every platform shares.
#pragma once

#include "shredengine/BlockDevice.h"
#include "shredengine/ShredJob.h"

#include <kestrune/shred_abi.h>

#include <cstdint>
#include <vector>

namespace kestrune::engine {

// A disk found, checked and opened for one job by the platform's disk access.
class JobDisk {
public:
    virtual ~JobDisk() = default;
    virtual BlockDevice& device() = 0;
    // 0 while the medium is still the one the job began on, whole and writable; else the
    // status that says what became of it.
    virtual int32_t mediumCheck() = 0;
    // Whatever the job's end: the system is to see the medium as it now is.
    virtual void jobEnded() {}
};

// Runs the plan on the opened disk, reports progress and, before returning, the findings of
// the job through the callback. Returns the job's final status.
int32_t runDiskJob(JobDisk& disk, const std::vector<Pass>& plan, int32_t deviceNumber,
                   ShredStatusCallback callback, void* context, const unsigned char* abortFlag,
                   const JobOptions& jobOptions = {});

// Each platform's: the whole job on the disk the program listed under this device number,
// with the full safety rule (only removable disks, never one the system runs from).
int32_t shredListedDisk(uint32_t driveLetter, uint32_t deviceNumber, int32_t algorithm,
                        ShredStatusCallback callback, void* context,
                        const unsigned char* abortFlag);

} // namespace kestrune::engine
