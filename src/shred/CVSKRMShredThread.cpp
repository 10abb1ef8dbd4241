#include "shred/CVSKRMShredThread.h"

#include "app/SettingsStore.h"
#include "app/SystemUtil.h"
#include "devices/DeviceTable.h"
#include "lang/LanguageManager.h"
#include "platform/MessageService.h"
#include "platform/Module.h"
#include "shred/ShredReport.h"

#include <cstdio>

namespace kestrune {
namespace {

const QString kEngineFile = QStringLiteral("VSKRemovableShredder.dll");

void trace(const char* line) {
    std::fputs(line, stdout);
    std::fflush(stdout);
}

} // namespace

CVSKRMShredThread::CVSKRMShredThread(void* context, std::shared_ptr<DeviceRecord> record,
                                     std::int32_t algorithm, ShredStatusCallback callback,
                                     std::int32_t reserved)
    : settings_(GetSettingsStore()), record_(std::move(record)), driveLetter_(record_->driveLetter),
      deviceNumber_(record_->deviceNumber), algorithm_(algorithm), reserved_(reserved),
      abortFlag_(&record_->abortRequested), context_(context), callback_(callback) {
    std::printf("CVSKRMShredThread: %d: algo: %d\n", static_cast<int>(deviceNumber_), algorithm_);
    std::fflush(stdout);
}

CVSKRMShredThread::~CVSKRMShredThread() = default;

void CVSKRMShredThread::Run() {
    InitInstance();
    ExitInstance();
}

void CVSKRMShredThread::reportStatus(std::int32_t status) {
    callback_(context_, static_cast<std::int32_t>(deviceNumber_), status, 0, 0, 0.0);
}

std::int32_t CVSKRMShredThread::callEngine() {
    auto util = GetSystemUtil();
    const QString path = util->ComponentPathWithoutFallback(kEngineFile);
    std::unique_ptr<platform::Module> engine = platform::Module::load(path);
    const QString title = SystemUtil::ApplicationTitle();
    if (!engine) {
        platform::showMessage(
            QStringLiteral("Could not locate necessary dll 'VSKRemovableShredder.dll'"), title,
            platform::MB_ICONERROR_STYLE);
        return SHRED_STATUS_ENGINE_MISSING;
    }
    auto shred = engine->entry<VSKRMShredFn>(KESTRUNE_SHRED_ENTRY);
    if (!shred) {
        platform::showMessage(
            QStringLiteral(
                "Could not locate necessary dll 'VSKRemovableShredder.dll' (VSKRMShred)"),
            title, platform::MB_ICONERROR_STYLE);
        return SHRED_STATUS_ENGINE_MISSING;
    }
    return shred(driveLetter_, deviceNumber_, algorithm_, callback_, context_, reserved_,
                 abortFlag_);
}

bool CVSKRMShredThread::InitInstance() {
    trace("Thread start!\n");
    auto language = GetLanguageManager();
    report_ = std::make_unique<ShredReport>(algorithm_, language);
    QString serial, make, model, size, bus;
    std::uint64_t capacity = 0;
    {
        // The scan rewrites these texts under the table's lock.
        std::unique_lock<std::timed_mutex> guard;
        if (table_)
            guard = table_->lockByPolling();
        serial = record_->serialText;
        make = record_->vendorText;
        model = record_->productText;
        size = record_->sizeGigabytesText;
        bus = record_->busText;
        capacity = record_->sizeBytes;
    }
    report_->addHardwareItems(serial, make, model, size, bus);

    const std::int32_t result = callEngine();
    std::printf("VSKRMShred: %d\n", result);
    std::fflush(stdout);

    if (result == SHRED_STATUS_SHREDDED)
        report_->setCleaned();
    const bool formatWanted = settings_->GetFormatDrive();
    if (result == SHRED_STATUS_SHREDDED && formatWanted) {
        reportStatus(SHRED_STATUS_FORMATTING);
        const bool formatted = formatter_ && formatter_(deviceNumber_, callback_, context_);
        // Only a format that really completed counts as one.
        if (formatted)
            report_->setFormatted();
        finalStatus_ = formatted ? SHRED_STATUS_FORMATTED : SHRED_STATUS_FAILED_FORMAT;
    } else {
        finalStatus_ = result;
    }
    report_->setOutcome(finalStatus_, capacity);
    reportStatus(finalStatus_);
    return true;
}

int CVSKRMShredThread::ExitInstance() {
    trace("Thread end!\n");
    return report_ ? report_->finish() : 0;
}

} // namespace kestrune
