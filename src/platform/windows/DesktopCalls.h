// The Win32 calls behind the desktop services on Windows: the execution state that keeps the
// machine awake, the taskbar button's progress and the notification area's notices. The
// program takes the system's own tables; tests hand in others that answer as Windows
// documents it.
#pragma once

#include "platform/DesktopNotifier.h"
#include "platform/LauncherProgress.h"
#include "platform/SleepInhibitor.h"

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <objbase.h>
#include <shellapi.h>
#include <shobjidl.h>

#include <QString>
#include <atomic>
#include <functional>
#include <memory>

namespace kestrune::platform {

struct PowerCalls {
    decltype(&::SetThreadExecutionState) setThreadExecutionState;
};
const PowerCalls& systemPowerCalls();

// The execution state belongs to the thread that sets it, so a thread of the inhibitor's own
// holds it, whichever threads call hold and release; it is dropped when the object goes.
std::unique_ptr<SleepInhibitor> executionStateInhibitor(const PowerCalls& calls);

struct TaskbarCalls {
    decltype(&::CoInitializeEx) coInitializeEx;
    decltype(&::CoUninitialize) coUninitialize;
    decltype(&::CoCreateInstance) coCreateInstance;
    decltype(&::EnumWindows) enumWindows;
    decltype(&::GetWindowThreadProcessId) getWindowThreadProcessId;
    decltype(&::IsWindowVisible) isWindowVisible;
    decltype(&::GetWindow) getWindow;
    decltype(&::GetWindowLongPtrW) getWindowLongPtr;
    decltype(&::GetCurrentProcessId) getCurrentProcessId;
    decltype(&::GetCurrentThreadId) getCurrentThreadId;
};
const TaskbarCalls& systemTaskbarCalls();

// The progress on the taskbar button of the program's window: the visible, unowned top-level
// window of this process that the taskbar shows. Works on the thread of its first call (COM
// is initialised there as a single-threaded apartment), which must be the window's.
std::unique_ptr<LauncherProgress> taskbarLauncherProgress(const TaskbarCalls& calls);

struct TrayCalls {
    decltype(&::GetModuleHandleW) getModuleHandle;
    decltype(&::GetModuleFileNameW) getModuleFileName;
    decltype(&::RegisterClassExW) registerClass;
    decltype(&::CreateWindowExW) createWindow;
    decltype(&::DestroyWindow) destroyWindow;
    decltype(&::DefWindowProcW) defWindowProc;
    decltype(&::SetWindowLongPtrW) setWindowLongPtr;
    decltype(&::GetWindowLongPtrW) getWindowLongPtr;
    decltype(&::Shell_NotifyIconW) notifyIcon;
    decltype(&::ExtractIconW) extractIcon;
    decltype(&::LoadIconW) loadIcon;
    decltype(&::DestroyIcon) destroyIcon;
    decltype(&::CreatePopupMenu) createPopupMenu;
    decltype(&::AppendMenuW) appendMenu;
    decltype(&::TrackPopupMenu) trackPopupMenu;
    decltype(&::DestroyMenu) destroyMenu;
    decltype(&::SetForegroundWindow) setForegroundWindow;
    decltype(&::PostMessageW) postMessage;
    decltype(&::ShellExecuteW) shellExecute;
    decltype(&::GetLastError) getLastError;
};
const TrayCalls& systemTrayCalls();

// The message the notification area sends the icon's window.
constexpr UINT kTrayMessage = WM_APP + 1;

// Notices as balloons of an icon in the notification area. A click on the balloon or the
// icon brings the window up; the icon's menu offers the window and the last notice's
// certificate and folder. The icon stays while the object lives; its window belongs to the
// thread that sent the first notice, whose event loop delivers the clicks.
class TrayNotifier final : public DesktopNotifier {
public:
    explicit TrayNotifier(const TrayCalls& calls);
    ~TrayNotifier() override;
    TrayNotifier(const TrayNotifier&) = delete;
    TrayNotifier& operator=(const TrayNotifier&) = delete;

    void notify(const DesktopNotice& notice) override;
    void setOnShow(std::function<void()> onShow) override { onShow_ = std::move(onShow); }

    // What the icon's window does with a message of the notification area.
    LRESULT handle(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

private:
    bool ensureWindow();
    bool ensureIcon();
    NOTIFYICONDATAW iconData(UINT flags) const;
    void showMenu(int x, int y);

    const TrayCalls& calls_;
    HWND window_ = nullptr;
    HICON icon_ = nullptr;
    bool ownIcon_ = false;
    bool iconAdded_ = false;
    bool windowFailed_ = false;
    DesktopNotice last_;
    std::function<void()> onShow_;
};

// OpenOnDesktop through the given calls.
bool openOnDesktop(const TrayCalls& calls, const QString& path);

// A line about a desktop service in the trace, the first time flag is still clear.
void traceDesktopOnce(std::atomic<bool>& flag, const char* service, const QString& line);

} // namespace kestrune::platform
