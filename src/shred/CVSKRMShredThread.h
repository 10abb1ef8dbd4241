#pragma once

#include "devices/DeviceRecord.h"

#include <cstdint>
#include <functional>
#include <memory>

#include <kestrune/shred_abi.h>

namespace kestrune {

class DeviceTable;
class SettingsStore;
class ShredReport;

// What a job does to the disk after the engine shredded it, given the status channel.
// Returns true when the disk was formatted and labelled.
using DiskFormatter =
    std::function<bool(std::uint32_t deviceNumber, ShredStatusCallback callback, void* context)>;

// One shred job on one disk: report header, the engine, formatting, the final status,
// and the report when the job ends.
class CVSKRMShredThread {
public:
    CVSKRMShredThread(void* context, std::shared_ptr<DeviceRecord> record, std::int32_t algorithm,
                      ShredStatusCallback callback, std::int32_t reserved);
    ~CVSKRMShredThread();

    void setFormatter(DiskFormatter formatter) { formatter_ = std::move(formatter); }
    // The table whose lock guards the record's texts.
    void setTable(std::shared_ptr<DeviceTable> table) { table_ = std::move(table); }
    // Runs the whole job on the calling thread: the job, then the report.
    void Run();
    bool InitInstance();
    int ExitInstance();

    std::int32_t finalStatus() const { return finalStatus_; }
    const ShredReport* report() const { return report_.get(); }

private:
    std::int32_t callEngine();
    void reportStatus(std::int32_t status);

    std::shared_ptr<SettingsStore> settings_;
    std::shared_ptr<DeviceRecord> record_;
    std::shared_ptr<DeviceTable> table_;
    std::uint16_t driveLetter_;
    std::uint32_t deviceNumber_;
    std::int32_t algorithm_;
    std::int32_t reserved_;
    const unsigned char* abortFlag_;
    void* context_;
    ShredStatusCallback callback_;
    DiskFormatter formatter_;
    std::unique_ptr<ShredReport> report_;
    std::int32_t finalStatus_ = 0;
};

} // namespace kestrune
