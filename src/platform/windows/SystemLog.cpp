#include "platform/SystemLog.h"

#include "platform/windows/SessionCalls.h"

namespace kestrune::platform {

bool reportToEventLog(const SessionCalls& calls, const QString& text) {
    // An unregistered source still reaches the Application log, under the program's name.
    HANDLE source = calls.registerEventSource(nullptr, L"Kestrune");
    if (!source)
        return false;
    const std::wstring wide = text.toStdWString();
    LPCWSTR strings[] = {wide.c_str()};
    const bool reported =
        calls.reportEvent(source, EVENTLOG_WARNING_TYPE, 0, 1, nullptr, 1, 0, strings, nullptr);
    calls.deregisterEventSource(source);
    return reported;
}

void LogWarning(const QString& text) {
    // Standard error (when there is a console) and a debugger hear it from the base.
    LogWarning(text.toUtf8().toStdString());
    reportToEventLog(systemSessionCalls(), text);
}

} // namespace kestrune::platform
