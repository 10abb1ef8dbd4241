#pragma once

#include "shred/JobObserver.h"

#include <memory>

namespace kestrune {

class CVSKRMShredThread;
class DeviceListModel;
struct DeviceRecord;
class DeviceTable;
class LanguageManager;

// The rows follow their jobs: each turn sets the record's state and its Start/Abort button,
// and tells the row its job moved on; the row's texts are worked out from the job when the
// view asks for them. Jobs that outlive the list report to nobody.
class JobRows : public JobObserver {
public:
    JobRows(std::shared_ptr<DeviceTable> table, std::weak_ptr<DeviceListModel> list,
            std::shared_ptr<LanguageManager> language);

    // Before the job runs, so that a job that fails at once has the last word: its row shows
    // it from now on and its button offers Abort.
    void jobStarting(const std::shared_ptr<CVSKRMShredThread>& job);
    void jobChanged(const CVSKRMShredThread& job, const JobEvent& event,
                    const JobProgress& progress, const JobProgressChange& change) override;

private:
    QString text(const char* key) const;
    // The job's state and its Start/Abort button follow the job's turns.
    void followJob(DeviceListModel& list, DeviceRecord& record, const JobEvent& event,
                   const JobProgressChange& change) const;

    std::shared_ptr<DeviceTable> table_;
    std::weak_ptr<DeviceListModel> list_;
    std::shared_ptr<LanguageManager> language_;
};

} // namespace kestrune
