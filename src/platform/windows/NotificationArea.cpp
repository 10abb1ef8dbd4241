// Notices as balloons of a notification-area icon, which is all Windows offers without the
// toast libraries. A balloon carries no buttons, so the icon's menu carries the actions.
#include "platform/windows/DesktopCalls.h"

#include <QDir>
#include <QFileInfo>
#include <cstdio>

namespace kestrune::platform {
namespace {

constexpr wchar_t kWindowClass[] = L"KestruneNotificationArea";
constexpr UINT kIconId = 1;
enum MenuItem : UINT_PTR { ShowItem = 1, CertificateItem, FolderItem };

std::atomic<bool> notifierTraced{false};

void traceNoticeFailure(const QString& why) {
    traceDesktopOnce(notifierTraced, "notifications", QStringLiteral("no notice shown: ") + why);
}

const wchar_t* wide(const QString& text) {
    return reinterpret_cast<const wchar_t*>(text.utf16());
}

// Copies as much of the text as fits with its terminating NUL, never half a surrogate pair.
template <size_t N> void copyInto(wchar_t (&target)[N], const QString& text) {
    qsizetype length = std::min<qsizetype>(text.size(), N - 1);
    if (length > 0 && length < text.size() && text.at(length - 1).isHighSurrogate())
        --length;
    std::copy_n(text.utf16(), length, target);
    target[length] = L'\0';
}

LRESULT CALLBACK trayWindowProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    const TrayCalls& calls = systemTrayCalls();
    if (message == WM_NCCREATE) {
        const auto* create = reinterpret_cast<const CREATESTRUCTW*>(lParam);
        calls.setWindowLongPtr(window, GWLP_USERDATA,
                               reinterpret_cast<LONG_PTR>(create->lpCreateParams));
    }
    if (auto* notifier =
            reinterpret_cast<TrayNotifier*>(calls.getWindowLongPtr(window, GWLP_USERDATA)))
        return notifier->handle(window, message, wParam, lParam);
    return calls.defWindowProc(window, message, wParam, lParam);
}

} // namespace

TrayNotifier::TrayNotifier(const TrayCalls& calls) : calls_(calls) {}

TrayNotifier::~TrayNotifier() {
    if (iconAdded_) {
        NOTIFYICONDATAW data = iconData(0);
        calls_.notifyIcon(NIM_DELETE, &data);
    }
    if (window_)
        calls_.destroyWindow(window_);
    if (icon_ && ownIcon_)
        calls_.destroyIcon(icon_);
}

void TrayNotifier::notify(const DesktopNotice& notice) {
    last_ = notice; // the icon's tip and menu
    if (!ensureWindow() || !ensureIcon())
        return;
    NOTIFYICONDATAW data = iconData(NIF_INFO);
    copyInto(data.szInfoTitle, notice.summary);
    // A balloon without text is not shown: the click's action stands in for a body.
    copyInto(data.szInfo, notice.body.isEmpty() ? notice.showLabel : notice.body);
    data.dwInfoFlags = notice.urgent ? NIIF_WARNING : (NIIF_INFO | NIIF_RESPECT_QUIET_TIME);
    if (calls_.notifyIcon(NIM_MODIFY, &data))
        return;
    // The taskbar was started again (Explorer restarted) and forgot the icon.
    iconAdded_ = false;
    if (ensureIcon() && calls_.notifyIcon(NIM_MODIFY, &data))
        return;
    traceNoticeFailure(QStringLiteral("the notification area refused the balloon"));
}

bool TrayNotifier::ensureWindow() {
    if (window_ || windowFailed_)
        return window_ != nullptr;
    const HINSTANCE module = calls_.getModuleHandle(nullptr);
    WNDCLASSEXW windowClass{};
    windowClass.cbSize = sizeof(windowClass);
    windowClass.lpfnWndProc = trayWindowProcedure;
    windowClass.hInstance = module;
    windowClass.lpszClassName = kWindowClass;
    // Registered already by an earlier notifier of this process: that one serves as well.
    if (!calls_.registerClass(&windowClass) &&
        calls_.getLastError() != ERROR_CLASS_ALREADY_EXISTS) {
        windowFailed_ = true;
        traceNoticeFailure(QStringLiteral("no window class (error %1)").arg(calls_.getLastError()));
        return false;
    }
    window_ = calls_.createWindow(0, kWindowClass, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                  module, this);
    if (!window_) {
        windowFailed_ = true;
        traceNoticeFailure(
            QStringLiteral("no window for the icon (error %1)").arg(calls_.getLastError()));
    }
    return window_ != nullptr;
}

bool TrayNotifier::ensureIcon() {
    if (iconAdded_)
        return true;
    if (!icon_) {
        // The program file's own icon, else the system's for programs.
        wchar_t program[MAX_PATH + 1] = {};
        const DWORD length = calls_.getModuleFileName(nullptr, program, MAX_PATH);
        if (length > 0 && length < MAX_PATH)
            icon_ = calls_.extractIcon(calls_.getModuleHandle(nullptr), program, 0);
        ownIcon_ = icon_ != nullptr && icon_ != reinterpret_cast<HICON>(1);
        if (!ownIcon_)
            icon_ = calls_.loadIcon(nullptr, MAKEINTRESOURCEW(32512)); // IDI_APPLICATION
    }
    NOTIFYICONDATAW data = iconData(NIF_MESSAGE | NIF_ICON | NIF_TIP | NIF_SHOWTIP);
    copyInto(data.szTip, last_.application);
    if (!calls_.notifyIcon(NIM_ADD, &data)) {
        traceNoticeFailure(QStringLiteral("the notification area took no icon"));
        return false;
    }
    data.uVersion = NOTIFYICON_VERSION_4; // the balloon's click and the menu's position
    calls_.notifyIcon(NIM_SETVERSION, &data);
    iconAdded_ = true;
    return true;
}

NOTIFYICONDATAW TrayNotifier::iconData(UINT flags) const {
    NOTIFYICONDATAW data{};
    data.cbSize = sizeof(data);
    data.hWnd = window_;
    data.uID = kIconId;
    data.uFlags = flags;
    data.uCallbackMessage = kTrayMessage;
    data.hIcon = icon_;
    return data;
}

LRESULT TrayNotifier::handle(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message != kTrayMessage)
        return calls_.defWindowProc(window, message, wParam, lParam);
    switch (LOWORD(lParam)) {
    case NIN_BALLOONUSERCLICK:
    case NIN_SELECT:
    case NIN_KEYSELECT:
        if (onShow_)
            onShow_();
        break;
    case WM_CONTEXTMENU:
        // Version 4 gives the menu's place in wParam, in screen coordinates.
        showMenu(static_cast<short>(LOWORD(wParam)), static_cast<short>(HIWORD(wParam)));
        break;
    default:
        break;
    }
    return 0;
}

void TrayNotifier::showMenu(int x, int y) {
    const HMENU menu = calls_.createPopupMenu();
    if (!menu)
        return;
    const QString show = last_.showLabel.isEmpty() ? last_.application : last_.showLabel;
    calls_.appendMenu(menu, MF_STRING, ShowItem, wide(show));
    if (!last_.certificate.isEmpty()) {
        calls_.appendMenu(menu, MF_STRING, CertificateItem, wide(last_.openCertificateLabel));
        calls_.appendMenu(menu, MF_STRING, FolderItem, wide(last_.openFolderLabel));
    }
    // Without the foreground the menu would stay open when the user clicks elsewhere.
    calls_.setForegroundWindow(window_);
    const UINT_PTR chosen = static_cast<UINT_PTR>(calls_.trackPopupMenu(
        menu, TPM_RETURNCMD | TPM_NONOTIFY | TPM_RIGHTBUTTON, x, y, 0, window_, nullptr));
    calls_.postMessage(window_, WM_NULL, 0, 0);
    calls_.destroyMenu(menu);
    if (chosen == ShowItem && onShow_)
        onShow_();
    else if (chosen == CertificateItem)
        openOnDesktop(calls_, last_.certificate);
    else if (chosen == FolderItem)
        openOnDesktop(calls_, QFileInfo(last_.certificate).path());
}

bool openOnDesktop(const TrayCalls& calls, const QString& path) {
    const QString native = QDir::toNativeSeparators(path);
    // Above 32 means started; below, the reason in the documented old codes.
    const auto result = reinterpret_cast<INT_PTR>(
        calls.shellExecute(nullptr, L"open", wide(native), nullptr, nullptr, SW_SHOWNORMAL));
    return result > 32;
}

bool OpenOnDesktop(const QString& path) {
    return openOnDesktop(systemTrayCalls(), path);
}

const TrayCalls& systemTrayCalls() {
    static const TrayCalls calls{
        &::GetModuleHandleW,    &::GetModuleFileNameW, &::RegisterClassExW,  &::CreateWindowExW,
        &::DestroyWindow,       &::DefWindowProcW,     &::SetWindowLongPtrW, &::GetWindowLongPtrW,
        &::Shell_NotifyIconW,   &::ExtractIconW,       &::LoadIconW,         &::DestroyIcon,
        &::CreatePopupMenu,     &::AppendMenuW,        &::TrackPopupMenu,    &::DestroyMenu,
        &::SetForegroundWindow, &::PostMessageW,       &::ShellExecuteW,     &::GetLastError,
    };
    return calls;
}

std::unique_ptr<DesktopNotifier> sessionDesktopNotifier(const QString&) {
    return std::make_unique<TrayNotifier>(systemTrayCalls());
}

void traceDesktopOnce(std::atomic<bool>& flag, const char* service, const QString& line) {
    if (flag.exchange(true))
        return;
    std::printf("%s: %s\n", service, line.toLocal8Bit().constData());
    std::fflush(stdout);
}

} // namespace kestrune::platform
