#pragma once

#include "platform/DiskEnumerator.h"
#include "platform/windows/DiskCalls.h"

namespace kestrune::platform::windows_impl {

// Every *.img file of a folder that is a file of its own (no link, no second name) is a
// removable USB disk.
class SimulatedDiskEnumerator final : public DiskEnumerator {
public:
    SimulatedDiskEnumerator(const DiskCalls& calls, QString folder)
        : calls_(calls), folder_(std::move(folder)) {}
    std::optional<std::vector<DiskInfo>> enumerate() const override;

private:
    const DiskCalls& calls_;
    QString folder_;
};

// The folder as Windows spells it, absolute, without a last "\".
QString nativeFolder(const QString& folder);

} // namespace kestrune::platform::windows_impl
