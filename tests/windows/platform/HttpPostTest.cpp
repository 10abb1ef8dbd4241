// A POST through WinHTTP, against a call table that answers as WinHTTP documents it; the
// address is taken apart by the system's own WinHttpCrackUrl.
#include "platform/HttpPost.h"
#include "platform/windows/WinHttpCalls.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>

using namespace kestrune::platform;

namespace {

const auto kSession = reinterpret_cast<HINTERNET>(1);
const auto kConnection = reinterpret_cast<HINTERNET>(2);
const auto kRequest = reinterpret_cast<HINTERNET>(3);

struct Server {
    // What it answers.
    std::string failing; // "send" or "receive" fails with error
    DWORD error = 0;
    DWORD status = 200;
    std::wstring contentType = L"application/timestamp-reply";
    std::string answer = "stamp";
    // What it saw.
    std::wstring host, path, headers;
    INTERNET_PORT port = 0;
    DWORD flags = 0, features = 0;
    std::string body;
    int open = 0;
} server;
DWORD lastError = 0;

WINBOOL failWith(DWORD error) {
    lastError = error;
    return FALSE;
}

const HttpCalls kHttpCalls{
    [](LPCWSTR url, DWORD length, DWORD flags, LPURL_COMPONENTS parts) -> WINBOOL {
        return ::WinHttpCrackUrl(url, length, flags, parts) || failWith(::GetLastError());
    },
    [](LPCWSTR, DWORD, LPCWSTR, LPCWSTR, DWORD) { return ++server.open, kSession; },
    [](HINTERNET, int, int, int, int) -> WINBOOL { return TRUE; },
    [](HINTERNET, LPCWSTR host, INTERNET_PORT port, DWORD) {
        server.host = host;
        server.port = port;
        return ++server.open, kConnection;
    },
    [](HINTERNET, LPCWSTR verb, LPCWSTR path, LPCWSTR, LPCWSTR, LPCWSTR*, DWORD flags) {
        server.path = std::wstring(verb) + L" " + path;
        server.flags = flags;
        return ++server.open, kRequest;
    },
    [](HINTERNET, DWORD option, LPVOID value, DWORD) -> WINBOOL {
        if (option == WINHTTP_OPTION_DISABLE_FEATURE)
            server.features = *static_cast<DWORD*>(value);
        return TRUE;
    },
    [](HINTERNET, LPCWSTR headers, DWORD, LPVOID body, DWORD length, DWORD total,
       DWORD_PTR) -> WINBOOL {
        server.headers = headers;
        server.body.assign(static_cast<const char*>(body), std::min(length, total));
        return server.failing == "send" ? failWith(server.error) : TRUE;
    },
    [](HINTERNET, LPVOID) -> WINBOOL {
        return server.failing == "receive" ? failWith(server.error) : TRUE;
    },
    [](HINTERNET, DWORD info, LPCWSTR, LPVOID buffer, LPDWORD size, LPDWORD) -> WINBOOL {
        if (info == (WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER))
            return *static_cast<DWORD*>(buffer) = server.status, TRUE;
        if (info != WINHTTP_QUERY_CONTENT_TYPE || server.contentType.empty())
            return failWith(ERROR_WINHTTP_HEADER_NOT_FOUND);
        const auto bytes = static_cast<DWORD>(server.contentType.size() * sizeof(wchar_t));
        if (*size < bytes + sizeof(wchar_t))
            return *size = bytes + sizeof(wchar_t), failWith(ERROR_INSUFFICIENT_BUFFER);
        std::memcpy(buffer, server.contentType.c_str(), bytes + sizeof(wchar_t));
        return *size = bytes, TRUE;
    },
    [](HINTERNET, LPDWORD available) -> WINBOOL {
        *available = static_cast<DWORD>(std::min<size_t>(server.answer.size(), 8192));
        return TRUE;
    },
    [](HINTERNET, LPVOID buffer, DWORD wanted, LPDWORD read) -> WINBOOL {
        *read = static_cast<DWORD>(std::min<size_t>(wanted, server.answer.size()));
        std::memcpy(buffer, server.answer.data(), *read);
        server.answer.erase(0, *read);
        return TRUE;
    },
    [](HINTERNET) -> WINBOOL { return --server.open, TRUE; },
    []() { return lastError; },
};

} // namespace

#define TYPE "application/timestamp-reply"

TEST(HttpPost, AnswersAndFailuresWithTheirReasons) {
    const std::string large(kMaxHttpAnswer + 1, 'a');
    const std::wstring wide(300, L'w'); // more than the first room for the type
    struct Case {
        const char* url;
        Server answers;
        const char* failure; // empty: the answer is "stamp"
    };
    const char* tsa = "https://tsa.example/";
    // clang-format off
    const Case cases[] = {
        {"https://tsa.example/stamp?x=1", {}, ""},
        {"http://tsa.example:8080", {.contentType = L"Application/Timestamp-Reply; a=" + wide}, ""},
        {tsa, {.failing = "send", .error = ERROR_WINHTTP_NAME_NOT_RESOLVED}, "did not answer: "
         "sending the request failed: the server's name could not be resolved (error 12007)"},
        {tsa, {.failing = "receive", .error = ERROR_WINHTTP_SECURE_FAILURE}, "did not answer: "
         "no answer came: the server's certificate did not pass the checks (error 12175)"},
        {tsa, {.status = 404}, "answered with HTTP status 404"},
        {tsa, {.contentType = L"text/html; charset=utf-8"}, "answered with text/html, not " TYPE},
        // A type that only begins like the one asked for is another.
        {tsa, {.contentType = L"" TYPE "-x"}, "answered with " TYPE "-x, not " TYPE},
        {tsa, {.contentType = L""}, "answered with no content type, not " TYPE},
        {tsa, {.answer = large}, "answered with more than 1048576 bytes"},
        {"ftp://tsa.example/", {},
         "is no http or https address: the address's scheme is unknown (error 12006)"},
    };
    // clang-format on
    for (const Case& c : cases) {
        server = c.answers;
        QString failure;
        const QByteArray answer =
            postHttp(kHttpCalls, QString::fromLatin1(c.url), "application/timestamp-query",
                     QByteArray("query\0bytes", 11), "application/timestamp-reply", &failure);
        EXPECT_EQ(failure.toStdString(), *c.failure ? c.url + std::string(" ") + c.failure : "");
        EXPECT_EQ(answer, QByteArray(*c.failure ? "" : "stamp")) << c.url;
        EXPECT_EQ(server.open, 0) << c.url;
        if (std::strncmp(c.url, "http", 4) == 0) {
            EXPECT_EQ(server.body, std::string("query\0bytes", 11)) << c.url;
            EXPECT_EQ(server.headers, L"Content-Type: application/timestamp-query\r\n");
            EXPECT_EQ(server.features, static_cast<DWORD>(WINHTTP_DISABLE_REDIRECTS));
            EXPECT_EQ(server.flags, c.url[4] == 's' ? WINHTTP_FLAG_SECURE : 0u) << c.url;
        }
    }
}

TEST(HttpPost, WineNamesWhyNothingAnswered) {
    QString failure;
    PostHttp(QStringLiteral("http://127.0.0.1:1/stamp"), "application/a", "q", "", &failure);
    EXPECT_EQ(failure.toStdString(), "http://127.0.0.1:1/stamp did not answer: sending the request "
                                     "failed: no connection to the server could be made (error "
                                     "12029)");
}
