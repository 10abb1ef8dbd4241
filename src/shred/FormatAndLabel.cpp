#include "shred/FormatAndLabel.h"

#include "platform/MessageService.h"

#include <cstdio>

namespace kestrune {

FormatResult formatAndLabel(const platform::FormatRequest& request,
                            const platform::PartitioningHooks& hooks, bool* labelled) {
    platform::FormatOutcome outcome = platform::formatWholeDisk(request, hooks);
    if (labelled)
        *labelled = outcome.formatted && outcome.labelled;
    if (outcome.aborted) {
        std::printf("formatAndLabel: disk %d: %s\n", request.deviceNumber,
                    outcome.failure.toLocal8Bit().constData());
        return FormatResult::Aborted;
    }
    if (!outcome.formatted) {
        std::printf("formatAndLabel: disk %d not formatted: %s\n", request.deviceNumber,
                    outcome.failure.toLocal8Bit().constData());
        return FormatResult::Failed;
    }
    if (!outcome.labelled) {
        std::printf("formatAndLabel: disk %d not labelled: %s\n", request.deviceNumber,
                    outcome.failure.toLocal8Bit().constData());
        platform::showMessage(QStringLiteral("Could not label volume."),
                              QStringLiteral("Vaskor Kestrune"), platform::MB_ICONERROR_STYLE);
    }
    return FormatResult::Formatted;
}

FormatResult formatAndLabel(uint32_t deviceNumber, const QString& label,
                            std::function<void(int percent)> progress,
                            const platform::PartitioningHooks& hooks,
                            const unsigned char* abortFlag) {
    platform::FormatRequest request;
    if (!kestrune_disk_number_resolve(deviceNumber, &request.identity)) {
        std::printf("formatAndLabel: disk %u is gone\n", deviceNumber);
        return FormatResult::Failed;
    }
    request.identity.path[sizeof request.identity.path - 1] = '\0';
    request.deviceNumber = static_cast<int32_t>(deviceNumber);
    request.label = label;
    request.abortFlag = abortFlag;
    request.progress = std::move(progress);
    return formatAndLabel(request, hooks);
}

} // namespace kestrune
