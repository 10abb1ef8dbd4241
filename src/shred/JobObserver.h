#pragma once

#include "shred/JobProgress.h"

namespace kestrune {

class CVSKRMShredThread;

// Hears of every turn of a job. Called on the thread that moved the job on (the job's, its
// engine's, or one that asked it to stop), never under a lock of the job's; progress is the
// job as the event left it. Each observer formats for itself.
class JobObserver {
public:
    virtual ~JobObserver() = default;
    virtual void jobChanged(const CVSKRMShredThread& job, const JobEvent& event,
                            const JobProgress& progress, const JobProgressChange& change) = 0;
};

} // namespace kestrune
