// The WinHTTP calls behind PostHttp on Windows. The program takes the system's own table;
// tests hand in others that answer as Windows documents it.
#pragma once

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <winhttp.h>

#include <QByteArray>
#include <QString>

namespace kestrune::platform {

struct HttpCalls {
    decltype(&::WinHttpCrackUrl) crackUrl;
    decltype(&::WinHttpOpen) open;
    decltype(&::WinHttpSetTimeouts) setTimeouts;
    decltype(&::WinHttpConnect) connect;
    decltype(&::WinHttpOpenRequest) openRequest;
    decltype(&::WinHttpSetOption) setOption;
    decltype(&::WinHttpSendRequest) sendRequest;
    decltype(&::WinHttpReceiveResponse) receiveResponse;
    decltype(&::WinHttpQueryHeaders) queryHeaders;
    decltype(&::WinHttpQueryDataAvailable) queryDataAvailable;
    decltype(&::WinHttpReadData) readData;
    decltype(&::WinHttpCloseHandle) closeHandle;
    decltype(&::GetLastError) getLastError;
};
const HttpCalls& systemHttpCalls();

// An answer larger than this is not what was asked for.
constexpr qsizetype kMaxHttpAnswer = 1 << 20;

// PostHttp through the given calls.
QByteArray postHttp(const HttpCalls& calls, const QString& url, const QByteArray& contentType,
                    const QByteArray& body, const QByteArray& expectedType, QString* failure);

// What a WinHTTP (or system) error code means, with its number.
QString httpErrorText(DWORD code);

} // namespace kestrune::platform
