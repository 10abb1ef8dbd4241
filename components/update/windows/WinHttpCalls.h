// The WinHTTP calls of the update's transfers, as a table: the system's by default, a
// test's own where it answers as Windows documents.
#pragma once

#include "UpdateTransport.h"

#include <windows.h>

#include <winhttp.h>

namespace kestrune::update {

struct WinHttpCalls {
    HINTERNET(WINAPI* open)(LPCWSTR, DWORD, LPCWSTR, LPCWSTR, DWORD);
    BOOL(WINAPI* crackUrl)(LPCWSTR, DWORD, DWORD, LPURL_COMPONENTS);
    HINTERNET(WINAPI* connect)(HINTERNET, LPCWSTR, INTERNET_PORT, DWORD);
    HINTERNET(WINAPI* openRequest)(HINTERNET, LPCWSTR, LPCWSTR, LPCWSTR, LPCWSTR, LPCWSTR*, DWORD);
    BOOL(WINAPI* setOption)(HINTERNET, DWORD, LPVOID, DWORD);
    BOOL(WINAPI* setTimeouts)(HINTERNET, int, int, int, int);
    BOOL(WINAPI* sendRequest)(HINTERNET, LPCWSTR, DWORD, LPVOID, DWORD, DWORD, DWORD_PTR);
    BOOL(WINAPI* receiveResponse)(HINTERNET, LPVOID);
    BOOL(WINAPI* queryHeaders)(HINTERNET, DWORD, LPCWSTR, LPVOID, LPDWORD, LPDWORD);
    BOOL(WINAPI* queryOption)(HINTERNET, DWORD, LPVOID, LPDWORD);
    BOOL(WINAPI* readData)(HINTERNET, LPVOID, DWORD, LPDWORD);
    BOOL(WINAPI* closeHandle)(HINTERNET);
    DWORD(WINAPI* getLastError)();
};
const WinHttpCalls& systemWinHttpCalls();

TransferOutcome runTransfer(const WinHttpCalls& calls, const TransferRequest& request);

} // namespace kestrune::update
