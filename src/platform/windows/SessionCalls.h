#pragma once

#include "platform/AccountName.h"
#include "platform/windows/Win32Text.h"

#define SECURITY_WIN32
#include <lm.h>
#include <security.h>

namespace kestrune::platform {

// The system calls that name the account a job is done for and that carry warnings into the
// event log. The program takes the system's own (systemSessionCalls()); tests hand in others
// to play the accounts and logs Wine does not have.
struct SessionCalls {
    decltype(&::GetUserNameExW) userNameEx;
    decltype(&::GetUserNameW) userName;
    decltype(&::NetUserGetInfo) netUserInfo;
    decltype(&::NetApiBufferFree) netBufferFree;
    decltype(&::RegisterEventSourceW) registerEventSource;
    decltype(&::ReportEventW) reportEvent;
    decltype(&::DeregisterEventSource) deregisterEventSource;
};
const SessionCalls& systemSessionCalls();

AccountName jobAccount(const SessionCalls& calls);
// The warning in the Application log under the program's name; false when the log refused it.
bool reportToEventLog(const SessionCalls& calls, const QString& text);

} // namespace kestrune::platform
