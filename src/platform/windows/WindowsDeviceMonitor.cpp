#include "platform/DeviceMonitor.h"

#include "platform/DeviceEvents.h"
#include "platform/DiskEnumerator.h"
#include "platform/SystemLog.h"
#include "platform/windows/DeviceChangeWindow.h"
#include "platform/windows/ImageFolderWatch.h"
#include "platform/windows/SimulatedDiskEnumerator.h"

#include <algorithm>

namespace kestrune::platform {

using windows_impl::DeviceChangeWindow;
using windows_impl::ImageFolderWatch;

namespace {

bool sameName(const QString& key, const QString& path) {
    return key.compare(path, Qt::CaseInsensitive) == 0;
}

// "\\.\PhysicalDrive1" as it is; an image file by its absolute name, as the folder's
// events and the disk list spell it.
QString diskKey(const QString& path) {
    if (path.startsWith(QLatin1String("\\\\.\\")))
        return path;
    return windows_impl::nativeFolder(path);
}

} // namespace

DeviceMonitorOptions DeviceMonitorOptions::fromEnvironment() {
    DeviceMonitorOptions options;
    if (qEnvironmentVariableIsSet("KESTRUNE_SIMULATED_DISKS")) {
        // Nothing but the folder's images is listed then: no device of the system counts.
        options.simulatedFolder = simulatedDisksFolder();
        options.watchBlockDevices = false;
        options.watchMounts = false;
    }
    return options;
}

struct DeviceMonitor::Impl {
    Impl(DeviceMonitor* monitor, const DeviceMonitorOptions& options)
        : burst(
              options.debounceMs, [monitor] { emit monitor->volumeArrived(); },
              [monitor] { emit monitor->volumeRemoved(); }),
          suppressed(options.suppressGraceMs) {}

    // An event counts unless every disk it lies on is one a job repartitions; one whose
    // disks cannot be told always counts.
    void deviceEvent(bool arrival, const QStringList& disks) {
        const bool ours =
            !disks.isEmpty() && std::all_of(disks.begin(), disks.end(), [this](const QString& d) {
                return suppressed.covers(d, sameName);
            });
        if (!ours)
            burst.note(arrival);
    }

    void imageEvent(bool arrival, const QString& image) {
        if (!image.isEmpty() && suppressed.covers(image, sameName))
            return;
        burst.note(arrival);
    }

    EventBurst burst;
    SuppressedDisks suppressed;
    std::unique_ptr<DeviceChangeWindow> devices;
    std::unique_ptr<ImageFolderWatch> folder;
};

DeviceMonitor::DeviceMonitor(QObject* parent)
    : DeviceMonitor(DeviceMonitorOptions::fromEnvironment(), parent) {}

// Windows tells of disks and volumes alike, with no polling to fall back on: the options
// for loop devices, udev and polling have no meaning here.
DeviceMonitor::DeviceMonitor(const DeviceMonitorOptions& options, QObject* parent)
    : QObject(parent), d_(std::make_unique<Impl>(this, options)) {
    if (options.watchBlockDevices || options.watchMounts) {
        d_->devices = std::make_unique<DeviceChangeWindow>(
            windows_impl::systemDiskCalls(), windows_impl::systemMonitorCalls(),
            [this](bool arrival, const QStringList& disks) { d_->deviceEvent(arrival, disks); });
        if (!d_->devices->failure().isEmpty())
            LogWarning(QStringLiteral("Device monitor: ") + d_->devices->failure());
    }
    if (!options.simulatedFolder.isEmpty() && options.watchSimulatedFolder) {
        d_->folder = std::make_unique<ImageFolderWatch>(
            windows_impl::systemDiskCalls(), windows_impl::systemMonitorCalls(),
            windows_impl::nativeFolder(options.simulatedFolder),
            [this](bool arrival, const QString& image) { d_->imageEvent(arrival, image); });
        if (!d_->folder->failure().isEmpty())
            LogWarning(QStringLiteral("Device monitor: ") + d_->folder->failure());
    }
}

DeviceMonitor::~DeviceMonitor() = default;

bool DeviceMonitor::isWatching() const {
    return (d_->devices && d_->devices->isWatching()) || (d_->folder && d_->folder->isWatching());
}

bool DeviceMonitor::isPolling() const {
    return false;
}

void DeviceMonitor::suppressDisk(const QString& path, bool suppress) {
    d_->suppressed.set(diskKey(path), suppress);
}

} // namespace kestrune::platform
