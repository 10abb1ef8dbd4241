// The launcher's progress is the taskbar button's (ITaskbarList3). The window is looked up at
// each change rather than handed over: the caller knows only the desktop entry, and the
// window may be created again while jobs run.
#include "platform/windows/DesktopCalls.h"

#include <algorithm>
#include <cmath>

namespace kestrune::platform {
namespace {

constexpr ULONGLONG kProgressSteps = 1000;

std::atomic<bool> launcherTraced{false};

void traceTaskbarFailure(const QString& why) {
    traceDesktopOnce(launcherTraced, "taskbar",
                     QStringLiteral("the taskbar shows no progress: %1").arg(why));
}

QString hresultText(HRESULT result) {
    return QStringLiteral("0x%1").arg(static_cast<quint32>(result), 8, 16, QLatin1Char('0'));
}

struct WindowSearch {
    const TaskbarCalls* calls;
    DWORD process;
    HWND found;
};

// A window the taskbar gives a button: ours, shown, owned by no other, no tool window.
BOOL CALLBACK takeProgramWindow(HWND window, LPARAM data) {
    auto* search = reinterpret_cast<WindowSearch*>(data);
    const TaskbarCalls& calls = *search->calls;
    DWORD process = 0;
    calls.getWindowThreadProcessId(window, &process);
    if (process != search->process || !calls.isWindowVisible(window) ||
        calls.getWindow(window, GW_OWNER) != nullptr ||
        (calls.getWindowLongPtr(window, GWL_EXSTYLE) & WS_EX_TOOLWINDOW) != 0)
        return TRUE;
    search->found = window;
    return FALSE;
}

class TaskbarLauncherProgress final : public LauncherProgress {
public:
    explicit TaskbarLauncherProgress(const TaskbarCalls& calls) : calls_(calls) {}

    ~TaskbarLauncherProgress() override {
        // COM objects and the apartment belong to their thread; elsewhere they are left to
        // the process's end.
        if (!taskbar_ || calls_.getCurrentThreadId() != thread_)
            return;
        if (shownOn_)
            taskbar_->SetProgressState(shownOn_, TBPF_NOPROGRESS);
        taskbar_->Release();
        if (uninitialize_)
            calls_.coUninitialize();
    }

    void show(double progress, bool visible) override {
        ITaskbarList3* taskbar = this->taskbar();
        if (!taskbar)
            return;
        const HWND window = programWindow();
        if (!window) {
            if (visible)
                traceTaskbarFailure(QStringLiteral("the program has no window on the taskbar"));
            return;
        }
        HRESULT result = S_OK;
        if (!visible) {
            result = taskbar->SetProgressState(window, TBPF_NOPROGRESS);
            shownOn_ = nullptr;
        } else {
            if (shownOn_ != window)
                result = taskbar->SetProgressState(window, TBPF_NORMAL);
            const auto done =
                static_cast<ULONGLONG>(std::lround(std::clamp(progress, 0.0, 1.0) * 1000));
            if (SUCCEEDED(result))
                result = taskbar->SetProgressValue(window, done, kProgressSteps);
            shownOn_ = SUCCEEDED(result) ? window : nullptr;
        }
        if (FAILED(result))
            traceTaskbarFailure(
                QStringLiteral("the taskbar refused the progress (%1)").arg(hresultText(result)));
    }

private:
    ITaskbarList3* taskbar() {
        if (taskbar_ || failed_)
            return taskbar_;
        failed_ = true; // until it worked: asked once only
        thread_ = calls_.getCurrentThreadId();
        const HRESULT init = calls_.coInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
        if (FAILED(init) && init != RPC_E_CHANGED_MODE) {
            traceTaskbarFailure(
                QStringLiteral("COM could not be initialised (%1)").arg(hresultText(init)));
            return nullptr;
        }
        // A thread already in the multi-threaded apartment keeps it; COM still serves it.
        uninitialize_ = SUCCEEDED(init);
        void* created = nullptr;
        HRESULT result = calls_.coCreateInstance(CLSID_TaskbarList, nullptr, CLSCTX_INPROC_SERVER,
                                                 IID_ITaskbarList3, &created);
        auto* taskbar = static_cast<ITaskbarList3*>(created);
        if (SUCCEEDED(result) && taskbar)
            result = taskbar->HrInit();
        if (FAILED(result) || !taskbar) {
            traceTaskbarFailure(QStringLiteral("no taskbar list (%1)").arg(hresultText(result)));
            if (taskbar)
                taskbar->Release();
            if (uninitialize_)
                calls_.coUninitialize();
            uninitialize_ = false;
            return nullptr;
        }
        failed_ = false;
        taskbar_ = taskbar;
        return taskbar_;
    }

    HWND programWindow() const {
        WindowSearch search{&calls_, calls_.getCurrentProcessId(), nullptr};
        calls_.enumWindows(takeProgramWindow, reinterpret_cast<LPARAM>(&search));
        return search.found;
    }

    const TaskbarCalls& calls_;
    ITaskbarList3* taskbar_ = nullptr;
    bool failed_ = false;
    bool uninitialize_ = false;
    DWORD thread_ = 0;
    HWND shownOn_ = nullptr; // the window whose button shows a progress
};

} // namespace

const TaskbarCalls& systemTaskbarCalls() {
    static const TaskbarCalls calls{
        &::CoInitializeEx,     &::CoUninitialize,           &::CoCreateInstance,
        &::EnumWindows,        &::GetWindowThreadProcessId, &::IsWindowVisible,
        &::GetWindow,          &::GetWindowLongPtrW,        &::GetCurrentProcessId,
        &::GetCurrentThreadId,
    };
    return calls;
}

std::unique_ptr<LauncherProgress> taskbarLauncherProgress(const TaskbarCalls& calls) {
    return std::make_unique<TaskbarLauncherProgress>(calls);
}

std::unique_ptr<LauncherProgress> sessionLauncherProgress(const QString&) {
    // The taskbar groups by the process's application id; the desktop entry is Linux's.
    return taskbarLauncherProgress(systemTaskbarCalls());
}

} // namespace kestrune::platform
