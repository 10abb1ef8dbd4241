#pragma once

#include <QObject>
#include <QString>
#include <memory>

namespace kestrune::platform {

struct DeviceMonitorOptions {
    // Watched for *.img files coming and going when not empty.
    QString simulatedFolder;
    bool watchSimulatedFolder = true;
    bool watchBlockDevices = true;
    bool watchMounts = true;
    // Only loop devices count (simulated disks attached to loop devices); otherwise loop
    // devices never count.
    bool loopDevicesOnly = false;
    // Where udev events come from: "udev" once udevd has handled them, "kernel" straight
    // from the kernel; empty picks "udev" when udevd runs.
    QString udevSource;
    // Without a working event source, /sys/block and the mount table are compared this
    // often.
    int pollIntervalMs = 1000;
    int debounceMs = 300;
    // How long events of a disk stay ignored after suppressDisk(path, false): the kernel's
    // events of our own partitioning may still be on their way.
    int suppressGraceMs = 2000;

    // With KESTRUNE_SIMULATED_DISKS set, the folder and the loop devices its images may be
    // attached to (no real disk is ever listed then); else block devices and mounts.
    static DeviceMonitorOptions fromEnvironment();
};

// Tells the GUI thread that volumes came or went. Lives on the thread that creates it and
// delivers its signals there, a burst of events as one signal per kind.
class DeviceMonitor : public QObject {
    Q_OBJECT
public:
    explicit DeviceMonitor(QObject* parent = nullptr);
    explicit DeviceMonitor(const DeviceMonitorOptions& options, QObject* parent = nullptr);
    ~DeviceMonitor() override;

    // True when at least one source of events could be opened.
    bool isWatching() const;
    // True when block devices and mounts are followed by polling, their monitors having
    // failed.
    bool isPolling() const;
    // Ignore events of a disk (its device path or image file) and its partitions while a
    // job repartitions it. Callable from any thread.
    void suppressDisk(const QString& path, bool suppress);

signals:
    void volumeArrived();
    void volumeRemoved();

private:
    struct Impl;
    std::unique_ptr<Impl> d_;
};

} // namespace kestrune::platform
