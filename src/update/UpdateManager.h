#pragma once

#include "platform/Module.h"

#include <kestrune/update_abi.h>

#include <QString>
#include <cstdint>
#include <functional>
#include <memory>

namespace kestrune {

class SystemUtil;

// The update schedule in the registry and the calls into the update component
// ("VSKUpdate.dll"). Caches nothing but whether the component was there at creation.
class UpdateManager {
public:
    // Schedule numbers as stored in "DayCheck".
    enum Schedule : std::uint32_t { NoCheck = 0, Daily = 1, Weekly = 2, Monthly = 3 };

    explicit UpdateManager(std::shared_ptr<SystemUtil> util);
    ~UpdateManager();
    UpdateManager(const UpdateManager&) = delete;
    UpdateManager& operator=(const UpdateManager&) = delete;

    bool IsUpdateAvailable() const { return available_; }
    bool GetHideUpdate() const;
    // Whether an administrator named the feed ("FeedUrl" in the machine hive): without one
    // no check can find anything, so the schedule is not offered.
    bool IsFeedConfigured() const;
    bool GetNotActivate() const;
    std::uint32_t GetUpdateSchedule() const;
    // 0 when both values were stored, else the first write's error.
    std::int32_t SetUpdateSchedule(bool activate, std::uint32_t schedule) const;
    // True when the schedule's period has passed since "LastUpdate" (or none was stamped);
    // stamps "LastUpdate" with the current time when it answers true.
    bool IsUpdateDue(std::uint32_t schedule) const;
    // The component with its entry resolved, or null (silently).
    std::unique_ptr<platform::Module> LoadUpdateComponent();
    // Calls the component in the given mode; 0 when it cannot be loaded now. An update the
    // component could not verify is reported to the user here and answered with 0.
    std::int32_t RunUpdate(std::int32_t mode);

    // Seconds since 1970-01-01 UTC; tests replace it to move time.
    using Clock = std::function<std::int64_t()>;
    void SetClock(Clock clock);

    static QString ComponentFileName() { return QStringLiteral("VSKUpdate.dll"); }
    static QString UpdateKeySuffix() { return QStringLiteral("\\Settings\\Update"); }

private:
    QString updateKey() const;
    std::uint32_t read(const QString& name, bool machineWide) const;
    std::int32_t write(const QString& name, std::uint32_t value) const;

    std::shared_ptr<SystemUtil> util_;
    bool available_ = false;
    VSKUpdateFn entry_ = nullptr;
    Clock clock_;
};

// Process-wide instance: created on first use, released by the main window's teardown.
std::shared_ptr<UpdateManager> GetUpdateManager();
void ReleaseUpdateManager();

} // namespace kestrune
