#include "platform/AccountName.h"

#include "platform/windows/SessionCalls.h"

#include <vector>

namespace kestrune::platform {
namespace {

using windows_impl::fromWide;

// A name of the account in one of the system's forms; empty when it has none in that form.
QString accountName(const SessionCalls& calls, EXTENDED_NAME_FORMAT format) {
    std::vector<wchar_t> buffer(256);
    for (int tries = 0; tries < 3; ++tries) {
        ULONG size = ULONG(buffer.size());
        if (calls.userNameEx(format, buffer.data(), &size))
            return fromWide(buffer.data(), qsizetype(size));
        if (::GetLastError() != ERROR_MORE_DATA || size <= buffer.size())
            return {};
        buffer.resize(size + 1);
    }
    return {};
}

QString plainUserName(const SessionCalls& calls) {
    wchar_t buffer[UNLEN + 1] = {};
    DWORD size = UNLEN + 1;
    return calls.userName(buffer, &size) ? fromWide(buffer) : QString();
}

// A local account's full name, which the directory's display name does not cover.
QString localFullName(const SessionCalls& calls, const QString& user) {
    LPBYTE data = nullptr;
    const std::wstring name = user.toStdWString();
    QString full;
    if (calls.netUserInfo(nullptr, name.c_str(), 2, &data) == NERR_Success && data)
        full = fromWide(reinterpret_cast<const USER_INFO_2*>(data)->usri2_full_name);
    if (data)
        calls.netBufferFree(data);
    return full.trimmed();
}

} // namespace

const SessionCalls& systemSessionCalls() {
    static const SessionCalls calls{
        &::GetUserNameExW,       &::GetUserNameW, &::NetUserGetInfo,       &::NetApiBufferFree,
        &::RegisterEventSourceW, &::ReportEventW, &::DeregisterEventSource};
    return calls;
}

AccountName jobAccount(const SessionCalls& calls) {
    AccountName account;
    // DOMAIN\user, the form that names the same account on every machine of a domain.
    account.login = accountName(calls, NameSamCompatible);
    const QString user = plainUserName(calls);
    if (account.login.isEmpty())
        account.login = user.isEmpty() ? QStringLiteral("unknown account") : user;
    account.fullName = accountName(calls, NameDisplay).trimmed();
    if (account.fullName.isEmpty() && !user.isEmpty())
        account.fullName = localFullName(calls, user);
    // A display name that only repeats the login tells nothing more.
    if (account.fullName.compare(user, Qt::CaseInsensitive) == 0)
        account.fullName.clear();
    return account;
}

AccountName JobAccount() {
    return jobAccount(systemSessionCalls());
}

} // namespace kestrune::platform
