// Where Windows tells a program that disks and volumes came and went: a message-only window
// registered for the disk and volume interface classes. Message-only windows get no
// broadcasts, so volumes are followed through their interface class, not DBT_DEVTYP_VOLUME
// (which is still understood when it arrives).
#pragma once

#include "platform/windows/DiskCalls.h"

#include <dbt.h>

#include <QString>
#include <QStringList>
#include <functional>
#include <map>

namespace kestrune::platform::windows_impl {

// The window and notification calls of the device monitor.
struct MonitorCalls {
    decltype(&::RegisterClassExW) registerClass;
    decltype(&::CreateWindowExW) createWindow;
    decltype(&::DestroyWindow) destroyWindow;
    decltype(&::DefWindowProcW) defWindowProc;
    decltype(&::RegisterDeviceNotificationW) registerDeviceNotification;
    decltype(&::UnregisterDeviceNotification) unregisterDeviceNotification;
    decltype(&::GetModuleHandleW) getModuleHandle;
    decltype(&::CreateEventW) createEvent;
    decltype(&::ReadDirectoryChangesW) readDirectoryChanges;
    decltype(&::GetOverlappedResult) getOverlappedResult;
    decltype(&::CancelIoEx) cancelIo;
};
const MonitorCalls& systemMonitorCalls();

class DeviceChangeWindow {
public:
    // arrival: a disk or volume came (else went); disks: the disks it lies on
    // ("\\.\PhysicalDrive1"), empty when they cannot be told.
    using Handler = std::function<void(bool arrival, const QStringList& disks)>;

    DeviceChangeWindow(const DiskCalls& disks, const MonitorCalls& calls, Handler handler);
    ~DeviceChangeWindow();
    DeviceChangeWindow(const DeviceChangeWindow&) = delete;
    DeviceChangeWindow& operator=(const DeviceChangeWindow&) = delete;

    // True when Windows will tell the window of both interface classes.
    bool isWatching() const { return notifications_[0] && notifications_[1]; }
    // Why it is not watching.
    const QString& failure() const { return failure_; }
    HWND window() const { return window_; }

private:
    static LRESULT CALLBACK procedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    void deviceChanged(WPARAM event, const DEV_BROADCAST_HDR* header);
    QStringList disksOfInterface(const QString& name, bool arrival, bool volume);
    QStringList disksOfLetters(DWORD unitMask, bool arrival);
    QStringList disksOf(const QString& path, bool volume);

    const DiskCalls& disks_;
    const MonitorCalls& calls_;
    Handler handler_;
    HWND window_ = nullptr;
    HDEVNOTIFY notifications_[2] = {nullptr, nullptr};
    QString failure_;
    // What each device lay on when it came, for when it has gone and cannot be asked.
    std::map<QString, QStringList> known_;
};

} // namespace kestrune::platform::windows_impl
