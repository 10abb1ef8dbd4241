#include "platform/windows/SessionCalls.h"

#include <gtest/gtest.h>

#include <cstring>

namespace kestrune::platform {
namespace {

// An account as the system names it: its directory display name, its local full name.
struct Account {
    const wchar_t* display = nullptr;
    const wchar_t* full = nullptr;
};
Account account;

BOOLEAN SEC_ENTRY userNameEx(EXTENDED_NAME_FORMAT format, LPWSTR buffer, PULONG size) {
    const wchar_t* name = format == NameSamCompatible ? L"OFFICE\\mrossi" : account.display;
    if (!name) {
        ::SetLastError(ERROR_NONE_MAPPED);
        return FALSE;
    }
    const ULONG length = ULONG(std::wcslen(name));
    if (*size <= length) {
        *size = length + 1;
        ::SetLastError(ERROR_MORE_DATA);
        return FALSE;
    }
    std::wcscpy(buffer, name);
    *size = length;
    return TRUE;
}
BOOL WINAPI userName(LPWSTR buffer, LPDWORD) {
    std::wcscpy(buffer, L"mrossi");
    return TRUE;
}
USER_INFO_2 info2{};
NET_API_STATUS WINAPI netUserInfo(LPCWSTR, LPCWSTR user, DWORD level, LPBYTE* data) {
    if (!account.full || level != 2 || std::wcscmp(user, L"mrossi") != 0)
        return NERR_UserNotFound;
    info2.usri2_full_name = const_cast<wchar_t*>(account.full);
    *data = reinterpret_cast<LPBYTE>(&info2);
    return NERR_Success;
}
NET_API_STATUS WINAPI netBufferFree(LPVOID) {
    return NERR_Success;
}
SessionCalls played() {
    SessionCalls calls = systemSessionCalls();
    calls.userNameEx = &userNameEx;
    calls.userName = &userName;
    calls.netUserInfo = &netUserInfo;
    calls.netBufferFree = &netBufferFree;
    return calls;
}

TEST(SessionCalls, AJobNamesItsAccountAndTheFullNameWhereThereIsOne) {
    const struct {
        const wchar_t* display;
        const wchar_t* full;
        const char* fullName;
    } cases[] = {
        {L"Maria Rossi", L"M. Rossi (local)", "Maria Rossi"},
        {nullptr, L" Maria Rossi ", "Maria Rossi"},
        {L"MROSSI", nullptr, ""}, // only the login again
        {nullptr, nullptr, ""},
    };
    for (const auto& c : cases) {
        account = {c.display, c.full};
        const AccountName name = jobAccount(played());
        EXPECT_EQ(name.login, QStringLiteral("OFFICE\\mrossi"));
        EXPECT_EQ(name.fullName, QString::fromLatin1(c.fullName));
    }
}

TEST(SessionOnWine, TheAccountIsNamed) {
    const AccountName name = JobAccount();
    EXPECT_FALSE(name.login.isEmpty());
    EXPECT_NE(name.login, QStringLiteral("unknown account"));
}

} // namespace
} // namespace kestrune::platform
