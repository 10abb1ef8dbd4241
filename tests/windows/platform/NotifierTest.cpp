// Notices in the notification area, against a call table that answers as Windows documents
// Shell_NotifyIconW (version 4: the event in LOWORD(lParam), the menu's place in wParam).
#include "platform/windows/DesktopCalls.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace kestrune::platform;

namespace {

struct IconCall {
    DWORD message;
    UINT flags;
    std::wstring title, text;
    DWORD infoFlags;
};

const HWND kWindow = reinterpret_cast<HWND>(0x100);
std::vector<IconCall> iconCalls;
std::vector<std::wstring> menuLabels;
UINT_PTR chosenItem = 0;
std::vector<std::wstring> opened;

const TrayCalls kTrayCalls{
    [](LPCWSTR) { return reinterpret_cast<HMODULE>(0x400000); },
    [](HMODULE, LPWSTR path, DWORD) -> DWORD { return wcscpy(path, L"C:\\k\\kestrune.exe"), 17; },
    [](const WNDCLASSEXW*) -> ATOM { return 1; },
    [](DWORD, LPCWSTR, LPCWSTR, DWORD, int, int, int, int, HWND parent, HMENU, HINSTANCE, LPVOID) {
        return parent == HWND_MESSAGE ? kWindow : nullptr;
    },
    [](HWND) -> WINBOOL { return TRUE; },
    [](HWND, UINT, WPARAM, LPARAM) -> LRESULT { return 0; },
    [](HWND, int, LONG_PTR) -> LONG_PTR { return 0; },
    [](HWND, int) -> LONG_PTR { return 0; },
    [](DWORD message, PNOTIFYICONDATAW data) -> WINBOOL {
        iconCalls.push_back(
            {message, data->uFlags, data->szInfoTitle, data->szInfo, data->dwInfoFlags});
        return data->hWnd == kWindow && data->uCallbackMessage == kTrayMessage;
    },
    [](HINSTANCE, LPCWSTR, UINT) { return reinterpret_cast<HICON>(0x500); },
    [](HINSTANCE, LPCWSTR) { return reinterpret_cast<HICON>(0x600); },
    [](HICON) -> WINBOOL { return TRUE; },
    [] { return reinterpret_cast<HMENU>(0x700); },
    [](HMENU, UINT, UINT_PTR, LPCWSTR label) -> WINBOOL {
        return menuLabels.push_back(label), TRUE;
    },
    [](HMENU, UINT flags, int, int, int, HWND, const RECT*) -> WINBOOL {
        return (flags & TPM_RETURNCMD) ? static_cast<WINBOOL>(chosenItem) : TRUE;
    },
    [](HMENU) -> WINBOOL { return TRUE; },
    [](HWND) -> WINBOOL { return TRUE; },
    [](HWND, UINT, WPARAM, LPARAM) -> WINBOOL { return TRUE; },
    [](HWND, LPCWSTR verb, LPCWSTR file, LPCWSTR, LPCWSTR, INT) {
        opened.push_back(std::wstring(verb) + L" " + file);
        return reinterpret_cast<HINSTANCE>(42);
    },
    []() -> DWORD { return 0; },
};

DesktopNotice failedNotice() {
    return {QStringLiteral("Kestrune"),
            QStringLiteral("Stick ünd Co, 64.00 MB: the shred failed"),
            QStringLiteral("The medium was removed."),
            QStringLiteral("Show Kestrune"),
            true,
            QStringLiteral("C:/Users/Ana/Kestrune Reports/job 12.pdf"),
            QStringLiteral("Open certificate"),
            QStringLiteral("Open folder")};
}

LPARAM event(UINT what) {
    return MAKELPARAM(what, 1);
}

} // namespace

TEST(TrayNotifier, BalloonAndIconMenuOfferTheWindowTheCertificateAndItsFolder) {
    iconCalls.clear();
    menuLabels.clear();
    opened.clear();
    int shown = 0;
    {
        TrayNotifier notifier(kTrayCalls);
        notifier.setOnShow([&] { ++shown; });
        notifier.notify(failedNotice());
        std::vector<DWORD> messages;
        for (const IconCall& call : iconCalls)
            messages.push_back(call.message);
        EXPECT_EQ(messages, (std::vector<DWORD>{NIM_ADD, NIM_SETVERSION, NIM_MODIFY}));
        EXPECT_EQ(iconCalls[2].flags & NIF_INFO, static_cast<UINT>(NIF_INFO));
        EXPECT_EQ(iconCalls[2].title, L"Stick ünd Co, 64.00 MB: the shred failed");
        EXPECT_EQ(iconCalls[2].text, L"The medium was removed.");
        EXPECT_EQ(iconCalls[2].infoFlags, static_cast<DWORD>(NIIF_WARNING));

        notifier.handle(kWindow, kTrayMessage, 0, event(NIN_BALLOONUSERCLICK));
        EXPECT_EQ(shown, 1);

        for (UINT_PTR item : {2u, 3u, 0u, 1u}) {
            chosenItem = item;
            notifier.handle(kWindow, kTrayMessage, MAKEWPARAM(300, 200), event(WM_CONTEXTMENU));
        }
        EXPECT_EQ(shown, 2);
        EXPECT_EQ(menuLabels.size(), 12u);
        EXPECT_EQ(
            std::vector(menuLabels.begin(), menuLabels.begin() + 3),
            (std::vector<std::wstring>{L"Show Kestrune", L"Open certificate", L"Open folder"}));
        // Never half a character; the click's action stands in for a missing text.
        notifier.notify({QStringLiteral("Kestrune"),
                         QString(62, u'x') + QStringLiteral("\U0001F4BE"),
                         {},
                         QStringLiteral("Show Kestrune")});
        EXPECT_EQ(iconCalls.back().title, std::wstring(62, L'x'));
        EXPECT_EQ(iconCalls.back().text, L"Show Kestrune");
        EXPECT_EQ(opened,
                  (std::vector<std::wstring>{L"open C:\\Users\\Ana\\Kestrune Reports\\job 12.pdf",
                                             L"open C:\\Users\\Ana\\Kestrune Reports"}));
    }
    EXPECT_EQ(iconCalls.back().message, static_cast<DWORD>(NIM_DELETE));
}
