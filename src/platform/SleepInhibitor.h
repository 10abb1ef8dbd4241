#pragma once

#include <QString>
#include <memory>

namespace kestrune::platform {

// Keeps the machine from sleeping or idling into a screen lock that suspends while jobs
// write to disks. The work happens on the calling thread's event loop; a failure to take
// the lock never stops a job.
class SleepInhibitor {
public:
    virtual ~SleepInhibitor() = default;
    // Takes the lock, or takes it again under a new reason (the old one is dropped once the
    // new one is held, so there is no gap).
    virtual void hold(const QString& reason) = 0;
    // Drops it at once; a request still on its way is dropped when it arrives.
    virtual void release() = 0;
};

// The system's login manager on the system bus.
std::unique_ptr<SleepInhibitor> systemSleepInhibitor();

} // namespace kestrune::platform
