#include "platform/windows/DeviceChangeWindow.h"

#include <cstddef>
#include <cstring>
#include <cwchar>

namespace kestrune::platform::windows_impl {

namespace {

constexpr wchar_t kClassName[] = L"KestruneDeviceChanges";

bool sameGuid(const GUID& a, const GUID& b) {
    return std::memcmp(&a, &b, sizeof a) == 0;
}

HDEVNOTIFY registerFor(const MonitorCalls& calls, HWND window, const GUID& interfaceClass) {
    DEV_BROADCAST_DEVICEINTERFACE_W filter{};
    filter.dbcc_size = sizeof filter;
    filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    filter.dbcc_classguid = interfaceClass;
    return calls.registerDeviceNotification(window, &filter, DEVICE_NOTIFY_WINDOW_HANDLE);
}

// The interface's path, never read past the size the header gives.
QString interfaceName(const DEV_BROADCAST_DEVICEINTERFACE_W* device) {
    const std::size_t offset = offsetof(DEV_BROADCAST_DEVICEINTERFACE_W, dbcc_name);
    if (device->dbcc_size <= offset)
        return {};
    const std::size_t most = (device->dbcc_size - offset) / sizeof(wchar_t);
    return QString::fromWCharArray(device->dbcc_name,
                                   static_cast<qsizetype>(wcsnlen(device->dbcc_name, most)));
}

} // namespace

const MonitorCalls& systemMonitorCalls() {
    static const MonitorCalls calls{
        &::RegisterClassExW,
        &::CreateWindowExW,
        &::DestroyWindow,
        &::DefWindowProcW,
        &::RegisterDeviceNotificationW,
        &::UnregisterDeviceNotification,
        &::GetModuleHandleW,
        &::CreateEventW,
        &::ReadDirectoryChangesW,
        &::GetOverlappedResult,
        &::CancelIoEx,
    };
    return calls;
}

DeviceChangeWindow::DeviceChangeWindow(const DiskCalls& disks, const MonitorCalls& calls,
                                       Handler handler)
    : disks_(disks), calls_(calls), handler_(std::move(handler)) {
    WNDCLASSEXW windowClass{};
    windowClass.cbSize = sizeof windowClass;
    windowClass.lpfnWndProc = &DeviceChangeWindow::procedure;
    windowClass.hInstance = calls_.getModuleHandle(nullptr);
    windowClass.lpszClassName = kClassName;
    // A second monitor finds the class there already.
    if (!calls_.registerClass(&windowClass) &&
        disks_.getLastError() != ERROR_CLASS_ALREADY_EXISTS) {
        failure_ = QStringLiteral("no window class for device changes: ") +
                   win32Message(disks_.getLastError());
        return;
    }
    window_ = calls_.createWindow(0, kClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                  windowClass.hInstance, this);
    if (!window_) {
        failure_ =
            QStringLiteral("no window for device changes: ") + win32Message(disks_.getLastError());
        return;
    }
    const GUID* classes[] = {&kDiskInterface, &kVolumeInterface};
    for (int i = 0; i < 2; ++i) {
        notifications_[i] = registerFor(calls_, window_, *classes[i]);
        if (!notifications_[i])
            failure_ = QStringLiteral("Windows does not tell of %1: %2")
                           .arg(i == 0 ? QStringLiteral("disks") : QStringLiteral("volumes"),
                                win32Message(disks_.getLastError()));
    }
}

DeviceChangeWindow::~DeviceChangeWindow() {
    for (HDEVNOTIFY notification : notifications_)
        if (notification)
            calls_.unregisterDeviceNotification(notification);
    if (window_)
        calls_.destroyWindow(window_);
}

LRESULT CALLBACK DeviceChangeWindow::procedure(HWND window, UINT message, WPARAM wParam,
                                               LPARAM lParam) {
    // The system calls this before any table is known: the object is found in the window.
    if (message == WM_NCCREATE) {
        const auto* creation = reinterpret_cast<const CREATESTRUCTW*>(lParam);
        ::SetWindowLongPtrW(window, GWLP_USERDATA,
                            reinterpret_cast<LONG_PTR>(creation->lpCreateParams));
    }
    auto* self = reinterpret_cast<DeviceChangeWindow*>(::GetWindowLongPtrW(window, GWLP_USERDATA));
    if (!self)
        return ::DefWindowProcW(window, message, wParam, lParam);
    if (message == WM_DEVICECHANGE) {
        self->deviceChanged(wParam, reinterpret_cast<const DEV_BROADCAST_HDR*>(lParam));
        return TRUE;
    }
    return self->calls_.defWindowProc(window, message, wParam, lParam);
}

void DeviceChangeWindow::deviceChanged(WPARAM event, const DEV_BROADCAST_HDR* header) {
    if ((event != DBT_DEVICEARRIVAL && event != DBT_DEVICEREMOVECOMPLETE) || !header)
        return;
    const bool arrival = event == DBT_DEVICEARRIVAL;
    if (header->dbch_devicetype == DBT_DEVTYP_DEVICEINTERFACE &&
        header->dbch_size >= sizeof(DEV_BROADCAST_DEVICEINTERFACE_W)) {
        const auto* device = reinterpret_cast<const DEV_BROADCAST_DEVICEINTERFACE_W*>(header);
        const bool disk = sameGuid(device->dbcc_classguid, kDiskInterface);
        if (!disk && !sameGuid(device->dbcc_classguid, kVolumeInterface))
            return;
        handler_(arrival, disksOfInterface(interfaceName(device), arrival, !disk));
    } else if (header->dbch_devicetype == DBT_DEVTYP_VOLUME &&
               header->dbch_size >= sizeof(DEV_BROADCAST_VOLUME)) {
        const auto* volume = reinterpret_cast<const DEV_BROADCAST_VOLUME*>(header);
        handler_(arrival, disksOfLetters(volume->dbcv_unitmask, arrival));
    }
}

QStringList DeviceChangeWindow::disksOf(const QString& path, bool volume) {
    QStringList disks;
    if (volume) {
        for (DWORD number : volumeOnDisks(disks_, path).disks)
            disks << physicalDrivePath(number);
        return disks;
    }
    Handle device(disks_, openForQuery(disks_, path));
    if (device.valid())
        if (const auto number = deviceNumberOf(disks_, device.get()))
            disks << physicalDrivePath(*number);
    return disks;
}

QStringList DeviceChangeWindow::disksOfInterface(const QString& name, bool arrival, bool volume) {
    const QString key = name.toLower();
    if (!arrival)
        return known_.count(key) ? known_.extract(key).mapped() : QStringList();
    QStringList disks = disksOf(name, volume);
    known_[key] = disks;
    return disks;
}

QStringList DeviceChangeWindow::disksOfLetters(DWORD unitMask, bool arrival) {
    QStringList disks;
    for (int bit = 0; bit < 26; ++bit) {
        if (!(unitMask & (DWORD{1} << bit)))
            continue;
        const QString key = QStringLiteral("%1:").arg(QChar(u'a' + bit));
        QStringList found;
        if (arrival) {
            found = disksOf(QStringLiteral("\\\\.\\") + key, true);
            known_[key] = found;
        } else if (known_.count(key)) {
            found = known_.extract(key).mapped();
        }
        disks << found;
    }
    return disks;
}

} // namespace kestrune::platform::windows_impl
