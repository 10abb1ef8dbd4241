#pragma once

#include <QString>
#include <memory>
#include <vector>

namespace kestrune {

class LanguageManager;
class SettingsStore;

// A job whose program ended before the job did, as a later start completed its record.
struct CompletedRecord {
    QString report;
    QString certificate; // empty: none was written (see the system log)
};

// Completes the record of every job in the user's report folder that never ended and that
// no running program holds: its report says interrupted, with the last progress recorded, and
// a certificate of a job not completed lies beside it, signed as the settings say. A record
// that cannot be completed is named in the system log and left for the next start.
std::vector<CompletedRecord> CompleteInterruptedJobs(std::shared_ptr<SettingsStore> settings,
                                                     std::shared_ptr<LanguageManager> language);

} // namespace kestrune
