// The job around the one disk it may write, opened through the base's checks.
#pragma once

#include "shredengine/ShredJob.h"

#include "base/DiskOpening.h"

#include <kestrune/disk_numbers.h>

namespace kestrune::engine {

// The engine's status for what stood between it and the disk (0 when nothing did): -4 gone
// or not a disk it may write, -6 no permission, -15 write-protected, -9 busy, -16 held, -13
// the running system's.
int32_t statusOf(blockio::DiskAccess access);

// A whole job on an identified disk; returns the job's final status.
int32_t shredDisk(const KestruneDiskIdentity& identity, int32_t deviceNumber, int32_t algorithm,
                  ShredStatusCallback callback, void* context, const unsigned char* abortFlag,
                  const blockio::DiskAccessOptions& options = {},
                  const JobOptions& jobOptions = {});

// The same for a disk number of the shared pool (-4 when the number is not in use), written
// through the descriptor handed over for the number when there is one.
int32_t shredDiskNumber(uint32_t deviceNumber, int32_t algorithm, ShredStatusCallback callback,
                        void* context, const unsigned char* abortFlag,
                        const blockio::DiskAccessOptions& options = {},
                        const JobOptions& jobOptions = {});

} // namespace kestrune::engine
