// The execution state and the taskbar button, against call tables that answer as Windows
// documents it: the state belongs to the thread that set it; ITaskbarList3 needs HrInit
// first and COM on the calling thread.
#include "platform/windows/DesktopCalls.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

using namespace kestrune::platform;

namespace {

struct StateCall {
    std::thread::id thread;
    EXECUTION_STATE flags;
};
std::mutex stateMutex;
std::condition_variable stateCalled;
std::vector<StateCall> stateCalls;

EXECUTION_STATE WINAPI recordState(EXECUTION_STATE flags) {
    std::lock_guard guard(stateMutex);
    stateCalls.push_back({std::this_thread::get_id(), flags});
    stateCalled.notify_all();
    return ES_CONTINUOUS; // the state before, as Windows answers
}

StateCall waitForStateCall(size_t count) {
    std::unique_lock lock(stateMutex);
    stateCalled.wait(lock, [&] { return stateCalls.size() >= count; });
    return stateCalls[count - 1];
}

} // namespace

TEST(ExecutionState, HeldAndReleasedOnItsOwnThreadWhicheverThreadAsks) {
    stateCalls.clear();
    const PowerCalls calls{recordState};
    constexpr EXECUTION_STATE awake = ES_CONTINUOUS | ES_SYSTEM_REQUIRED;
    auto inhibitor = executionStateInhibitor(calls);
    inhibitor->hold(QStringLiteral("stick A"));
    const StateCall held = waitForStateCall(1);
    EXPECT_EQ(held.flags, awake);
    EXPECT_NE(held.thread, std::this_thread::get_id());
    inhibitor->hold(QStringLiteral("stick A; stick B")); // a new reason: still held, no call
    std::thread([&] { inhibitor->release(); }).join();   // a thread that ends at once
    const StateCall released = waitForStateCall(2);
    EXPECT_EQ(released.flags, static_cast<EXECUTION_STATE>(ES_CONTINUOUS));
    EXPECT_EQ(released.thread, held.thread);
    std::thread([&] { inhibitor->hold(QStringLiteral("stick C")); }).join();
    EXPECT_EQ(waitForStateCall(3).flags, awake);
    inhibitor.reset(); // held when it goes: dropped on the same thread
    ASSERT_EQ(stateCalls.size(), 4u);
    EXPECT_EQ(stateCalls[3].flags, static_cast<EXECUTION_STATE>(ES_CONTINUOUS));
    EXPECT_EQ(stateCalls[3].thread, held.thread);
}

namespace {

std::vector<std::string> taskbarLog;
HRESULT initAnswer = S_OK;
HRESULT hrInitAnswer = S_OK;

// ITaskbarList3 as the shell's: each call logged; HrInit first, or nothing works.
// clang-format off
#define UNUSED(name, ...) HRESULT STDMETHODCALLTYPE name(__VA_ARGS__) override { return E_NOTIMPL; }
class FakeTaskbar final : public ITaskbarList3 {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void**) override { return E_NOINTERFACE; }
    ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
    ULONG STDMETHODCALLTYPE Release() override { return log("Release"), 1; }
    HRESULT STDMETHODCALLTYPE HrInit() override { return log("HrInit"), hrInitAnswer; }
    HRESULT STDMETHODCALLTYPE SetProgressValue(HWND window, ULONGLONG done, ULONGLONG all) override {
        return logged("Value " + name(window) + " " + std::to_string(done) + "/" +
                      std::to_string(all));
    }
    HRESULT STDMETHODCALLTYPE SetProgressState(HWND window, TBPFLAG state) override {
        return logged("State " + name(window) + " " + std::to_string(state));
    }
    UNUSED(AddTab, HWND) UNUSED(DeleteTab, HWND) UNUSED(ActivateTab, HWND)
    UNUSED(SetActiveAlt, HWND) UNUSED(MarkFullscreenWindow, HWND, WINBOOL)
    UNUSED(RegisterTab, HWND, HWND) UNUSED(UnregisterTab, HWND) UNUSED(SetTabOrder, HWND, HWND)
    UNUSED(SetTabActive, HWND, HWND, DWORD) UNUSED(ThumbBarAddButtons, HWND, UINT, LPTHUMBBUTTON)
    UNUSED(ThumbBarUpdateButtons, HWND, UINT, LPTHUMBBUTTON)
    UNUSED(ThumbBarSetImageList, HWND, HIMAGELIST) UNUSED(SetOverlayIcon, HWND, HICON, LPCWSTR)
    UNUSED(SetThumbnailTooltip, HWND, LPCWSTR) UNUSED(SetThumbnailClip, HWND, RECT*)

private:
    static void log(const std::string& line) { taskbarLog.push_back(line); }
    static HRESULT logged(const std::string& line) {
        const bool initialised = std::count(taskbarLog.begin(), taskbarLog.end(), "HrInit");
        log(line);
        return initialised && SUCCEEDED(hrInitAnswer) ? S_OK : E_UNEXPECTED;
    }
    static std::string name(HWND window) {
        return std::to_string(reinterpret_cast<uintptr_t>(window));
    }
} taskbar;
// clang-format on

struct FakeWindow {
    uintptr_t handle;
    DWORD process;
    bool visible;
    uintptr_t owner;
    LONG_PTR exStyle;
};
constexpr DWORD kOurProcess = 7;
// In Z order: another program's, a helper window of the toolkit, a tool window, a message
// box owned by the main window, the main window.
const FakeWindow kWindows[] = {{11, 99, true, 0, 0},
                               {12, kOurProcess, false, 0, 0},
                               {13, kOurProcess, true, 0, WS_EX_TOOLWINDOW},
                               {14, kOurProcess, true, 15, 0},
                               {15, kOurProcess, true, 0, WS_EX_APPWINDOW}};
const FakeWindow& windowOf(HWND window) {
    for (const FakeWindow& each : kWindows)
        if (each.handle == reinterpret_cast<uintptr_t>(window))
            return each;
    throw std::logic_error("no such window");
}

const TaskbarCalls kTaskbarCalls{
    [](LPVOID, DWORD mode) {
        taskbarLog.push_back("CoInitializeEx " + std::to_string(mode));
        return initAnswer;
    },
    [] { taskbarLog.push_back("CoUninitialize"); },
    [](REFCLSID clsid, LPUNKNOWN, DWORD, REFIID iid, LPVOID* out) -> HRESULT {
        if (!IsEqualCLSID(clsid, CLSID_TaskbarList) || !IsEqualIID(iid, IID_ITaskbarList3))
            return REGDB_E_CLASSNOTREG;
        *out = &taskbar;
        return S_OK;
    },
    [](WNDENUMPROC visit, LPARAM data) -> WINBOOL {
        for (const FakeWindow& window : kWindows)
            if (!visit(reinterpret_cast<HWND>(window.handle), data))
                break;
        return TRUE;
    },
    [](HWND window, LPDWORD process) -> DWORD { return *process = windowOf(window).process, 1; },
    [](HWND window) -> WINBOOL { return windowOf(window).visible; },
    [](HWND window, UINT command) {
        return command == GW_OWNER ? reinterpret_cast<HWND>(windowOf(window).owner) : nullptr;
    },
    [](HWND window, int index) { return index == GWL_EXSTYLE ? windowOf(window).exStyle : 0; },
    []() -> DWORD { return kOurProcess; },
    []() -> DWORD { return 1; },
};

} // namespace

TEST(TaskbarProgress, ShowsOnTheMainWindowsButtonInTheOrderTheTaskbarNeeds) {
    const std::string sta = "CoInitializeEx " + std::to_string(COINIT_APARTMENTTHREADED);
    struct Case {
        HRESULT init;
        HRESULT hrInit;
        std::vector<std::string> log;
    };
    // clang-format off
    const Case cases[] = {
        {S_OK, S_OK, {sta, "HrInit", "State 15 2", "Value 15 250/1000", "Value 15 500/1000",
                      "State 15 0", "Release", "CoUninitialize"}},
        // A taskbar that failed its HrInit is given up at once, and asked no more.
        {S_FALSE, E_FAIL, {sta, "HrInit", "Release", "CoUninitialize"}},
    };
    // clang-format on
    for (const Case& c : cases) {
        taskbarLog.clear();
        initAnswer = c.init;
        hrInitAnswer = c.hrInit;
        auto progress = taskbarLauncherProgress(kTaskbarCalls);
        progress->show(0.25, true);
        progress->show(0.5, true);
        progress->show(0.0, false);
        progress.reset();
        EXPECT_EQ(taskbarLog, c.log) << "init " << std::hex << c.init;
    }
}
