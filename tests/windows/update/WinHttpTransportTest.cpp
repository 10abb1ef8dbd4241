// The WinHTTP transfer against a table that answers as the WinHTTP documentation says: each
// failure names its reason, and what is no update (a web page, a redirect away from https://,
// too many bytes) is refused rather than taken for a network accident.
#include "WinHttpCalls.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

using namespace kestrune::update;

namespace {

// What the fake server does; one at a time, as the calls cannot carry a context.
struct Server {
    DWORD failAt = 0; // the call (below) that fails with error
    DWORD error = 0;
    std::wstring finalUrl = L"https://updates.example/feed";
    DWORD status = 200;
    std::wstring contentType = L"text/plain; charset=utf-8";
    long long contentLength = -1; // -1: no Content-Length
    std::vector<std::string> chunks{"version=1.2\n", "url=k.msi\n"};
    // What the transfer asked for.
    std::wstring host, path;
    INTERNET_PORT port = 0;
    std::map<DWORD, DWORD> options;
    int connectTimeout = 0, receiveTimeout = 0;
    DWORD requestFlags = 0;
    int open = 0;
};
Server* server = nullptr;
enum Call : DWORD { kOpen = 1, kSend, kReceive, kRead };
HINTERNET const kSession = reinterpret_cast<HINTERNET>(1);
HINTERNET const kConnection = reinterpret_cast<HINTERNET>(2);
HINTERNET const kRequest = reinterpret_cast<HINTERNET>(3);

DWORD lastError = 0;
BOOL fail(Call call) {
    if (server->failAt != call)
        return TRUE;
    lastError = server->error;
    return FALSE;
}

HINTERNET WINAPI open(LPCWSTR, DWORD, LPCWSTR, LPCWSTR, DWORD) {
    return fail(kOpen) ? (++server->open, kSession) : nullptr;
}
HINTERNET WINAPI connect(HINTERNET, LPCWSTR host, INTERNET_PORT port, DWORD) {
    server->host = host;
    server->port = port;
    ++server->open;
    return kConnection;
}
HINTERNET WINAPI openRequest(HINTERNET, LPCWSTR, LPCWSTR path, LPCWSTR, LPCWSTR, LPCWSTR*,
                             DWORD flags) {
    server->path = path;
    server->requestFlags = flags;
    ++server->open;
    return kRequest;
}
BOOL WINAPI setOption(HINTERNET, DWORD option, LPVOID value, DWORD) {
    server->options[option] = *static_cast<DWORD*>(value);
    return TRUE;
}
BOOL WINAPI setTimeouts(HINTERNET, int, int connectMs, int, int receiveMs) {
    server->connectTimeout = connectMs;
    server->receiveTimeout = receiveMs;
    return TRUE;
}
BOOL WINAPI sendRequest(HINTERNET, LPCWSTR, DWORD, LPVOID, DWORD, DWORD, DWORD_PTR) {
    return fail(kSend);
}
BOOL WINAPI receiveResponse(HINTERNET, LPVOID) {
    return fail(kReceive);
}
// As documented: a number into a DWORD with WINHTTP_QUERY_FLAG_NUMBER, else text whose
// size in bytes is asked for first; ERROR_WINHTTP_HEADER_NOT_FOUND when it is not there.
BOOL WINAPI queryHeaders(HINTERNET, DWORD info, LPCWSTR, LPVOID buffer, LPDWORD bytes, LPDWORD) {
    const DWORD which = info & ~WINHTTP_QUERY_FLAG_NUMBER;
    if (which == WINHTTP_QUERY_STATUS_CODE || which == WINHTTP_QUERY_CONTENT_LENGTH) {
        const long long value =
            which == WINHTTP_QUERY_STATUS_CODE ? server->status : server->contentLength;
        if (value < 0) {
            lastError = ERROR_WINHTTP_HEADER_NOT_FOUND;
            return FALSE;
        }
        *static_cast<DWORD*>(buffer) = DWORD(value);
        return TRUE;
    }
    const std::wstring& text = server->contentType;
    const DWORD needed = DWORD((text.size() + 1) * sizeof(wchar_t));
    if (!buffer || *bytes < needed) {
        *bytes = needed;
        lastError = ERROR_INSUFFICIENT_BUFFER;
        return FALSE;
    }
    std::copy(text.c_str(), text.c_str() + text.size() + 1, static_cast<wchar_t*>(buffer));
    *bytes = needed - sizeof(wchar_t);
    return TRUE;
}
BOOL WINAPI queryOption(HINTERNET, DWORD, LPVOID buffer, LPDWORD bytes) {
    const DWORD needed = DWORD((server->finalUrl.size() + 1) * sizeof(wchar_t));
    if (!buffer || *bytes < needed) {
        *bytes = needed;
        lastError = ERROR_INSUFFICIENT_BUFFER;
        return FALSE;
    }
    std::copy(server->finalUrl.c_str(), server->finalUrl.c_str() + server->finalUrl.size() + 1,
              static_cast<wchar_t*>(buffer));
    return TRUE;
}
BOOL WINAPI readData(HINTERNET, LPVOID buffer, DWORD size, LPDWORD got) {
    if (!fail(kRead))
        return FALSE;
    *got = 0;
    if (server->chunks.empty())
        return TRUE;
    const std::string chunk = server->chunks.front();
    server->chunks.erase(server->chunks.begin());
    *got = DWORD(std::min<size_t>(size, chunk.size()));
    std::copy(chunk.data(), chunk.data() + *got, static_cast<char*>(buffer));
    return TRUE;
}
BOOL WINAPI closeHandle(HINTERNET) {
    --server->open;
    return TRUE;
}
DWORD WINAPI getLastError() {
    return lastError;
}

const WinHttpCalls kCalls{&open,         &::WinHttpCrackUrl, &connect,     &openRequest,
                          &setOption,    &setTimeouts,       &sendRequest, &receiveResponse,
                          &queryHeaders, &queryOption,       &readData,    &closeHandle,
                          &getLastError};

class WinHttpTransportTest : public ::testing::Test {
protected:
    void SetUp() override { server = &server_; }
    void TearDown() override {
        EXPECT_EQ(server_.open, 0) << "every handle is closed";
        server = nullptr;
    }
    TransferOutcome fetch(const std::string& address = "https://updates.example/feed?v=1#top",
                          int64_t limit = 1024, bool exact = false) {
        request_.address = address;
        request_.limit = limit;
        request_.exact = exact;
        request_.shortTimeout = !exact;
        request_.sink = [this](const char* data, size_t size) {
            received_.append(data, size);
            return true;
        };
        return runTransfer(kCalls, request_);
    }
    Server server_;
    TransferRequest request_;
    std::string received_;
};

TEST_F(WinHttpTransportTest, AFeedIsFetchedOverHttpsWithTheSecurePolicy) {
    const TransferOutcome outcome = fetch();
    ASSERT_TRUE(outcome.ok) << outcome.error;
    EXPECT_EQ(received_, "version=1.2\nurl=k.msi\n");
    EXPECT_EQ(outcome.received, int64_t(received_.size()));
    EXPECT_EQ(server_.host, L"updates.example");
    EXPECT_EQ(server_.port, INTERNET_DEFAULT_HTTPS_PORT);
    EXPECT_EQ(server_.path, L"/feed?v=1") << "the query goes, the fragment does not";
    EXPECT_EQ(server_.requestFlags, DWORD(WINHTTP_FLAG_SECURE));
    EXPECT_EQ(server_.options[WINHTTP_OPTION_REDIRECT_POLICY],
              DWORD(WINHTTP_OPTION_REDIRECT_POLICY_DISALLOW_HTTPS_TO_HTTP));
    EXPECT_EQ(server_.options[WINHTTP_OPTION_MAX_HTTP_AUTOMATIC_REDIRECTS], 5u);
    EXPECT_EQ(server_.connectTimeout, 3000);
    EXPECT_EQ(server_.receiveTimeout, 5000);
}

TEST_F(WinHttpTransportTest, EachFailureNamesItsReasonAndOnlyChecksAreRefusals) {
    const struct {
        const char* what;
        Call failAt;
        DWORD error;
        bool refused;
        const char* says;
    } cases[] = {
        {"no session", kOpen, ERROR_NOT_ENOUGH_MEMORY, false, "could not be fetched"},
        {"unknown name", kSend, ERROR_WINHTTP_NAME_NOT_RESOLVED, false, "name is not known"},
        {"no connection", kSend, ERROR_WINHTTP_CANNOT_CONNECT, false, "no connection"},
        {"timeout", kReceive, ERROR_WINHTTP_TIMEOUT, false, "did not answer in time"},
        {"bad certificate", kSend, ERROR_WINHTTP_SECURE_FAILURE, true, "certificate"},
        {"unknown authority", kSend, ERROR_WINHTTP_SECURE_INVALID_CA, true, "certificate"},
        {"redirect to http", kReceive, ERROR_WINHTTP_REDIRECT_FAILED, true, "not https://"},
        {"broken off", kRead, ERROR_WINHTTP_CONNECTION_ERROR, false, "broke off"},
    };
    for (const auto& step : cases) {
        SCOPED_TRACE(step.what);
        server_ = Server{};
        server_.failAt = step.failAt;
        server_.error = step.error;
        const TransferOutcome outcome = fetch();
        EXPECT_FALSE(outcome.ok);
        EXPECT_EQ(outcome.refused, step.refused);
        EXPECT_NE(outcome.error.find(step.says), std::string::npos) << outcome.error;
        EXPECT_NE(outcome.error.find(std::to_string(step.error)), std::string::npos)
            << outcome.error;
    }
}

TEST_F(WinHttpTransportTest, WhatIsNoUpdateIsRefused) {
    const struct {
        const char* what;
        Server server;
        bool refused;
        const char* says;
    } cases[] = {
        {"a web page", Server{.contentType = L"Text/HTML; charset=utf-8"}, true, "web page"},
        {"ended on http", Server{.finalUrl = L"http://updates.example/feed"}, true, "not https://"},
        {"not found", Server{.status = 404}, false, "returned error: 404"},
        {"too large", Server{.chunks = {std::string(1000, 'x'), std::string(100, 'x')}}, true,
         "larger than expected"},
        {"announced too large", Server{.contentLength = 4096}, true, "larger than expected"},
    };
    for (const auto& answer : cases) {
        SCOPED_TRACE(answer.what);
        server_ = answer.server;
        received_.clear();
        const TransferOutcome outcome = fetch();
        EXPECT_FALSE(outcome.ok);
        EXPECT_EQ(outcome.refused, answer.refused);
        EXPECT_NE(outcome.error.find(answer.says), std::string::npos) << outcome.error;
    }
}

TEST_F(WinHttpTransportTest, ADownloadStopsOnCancelAndAtItsAnnouncedSize) {
    std::atomic<bool> cancel{true};
    request_.cancel = &cancel;
    TransferOutcome outcome = fetch("https://updates.example/k.msi", 1100, true);
    EXPECT_EQ(outcome.error, "The download was cancelled.");
    EXPECT_EQ(received_, "");
    EXPECT_EQ(server_.receiveTimeout, 15000) << "a download stops when it stalls";

    cancel = false;
    server_ = Server{.chunks = {std::string(1000, 'x'), std::string(101, 'x')}};
    outcome = fetch("https://updates.example/k.msi", 1100, true);
    EXPECT_TRUE(outcome.refused);
    EXPECT_EQ(outcome.error, "https://updates.example/k.msi sends more than the 1100 bytes the "
                             "update information announces.");
}

TEST_F(WinHttpTransportTest, AnAuthoritiesFileOrAPlainAddressIsRefusedBeforeAnyConnection) {
    request_.caFile = "C:\\certs\\ours.pem";
    TransferOutcome outcome = fetch();
    EXPECT_TRUE(outcome.refused);
    EXPECT_NE(outcome.error.find("C:\\certs\\ours.pem is not used"), std::string::npos)
        << outcome.error;
    request_.caFile.clear();
    outcome = fetch("http://updates.example/feed");
    EXPECT_TRUE(outcome.refused);
    EXPECT_EQ(outcome.error, "http://updates.example/feed is not an https:// address");
    EXPECT_TRUE(server_.host.empty());
}

// Wine's own WinHTTP, where no server listens: a network failure named, not a refusal.
TEST(WinHttpTransportWineTest, NoServerIsANetworkFailureWithItsReason) {
    TransferRequest request;
    request.address = "https://127.0.0.1:9/feed";
    request.shortTimeout = true;
    request.limit = 1024;
    request.sink = [](const char*, size_t) { return true; };
    const TransferOutcome outcome = runTransfer(request);
    EXPECT_FALSE(outcome.ok);
    EXPECT_FALSE(outcome.refused);
    EXPECT_EQ(outcome.error.rfind("https://127.0.0.1:9/feed could not be fetched: ", 0), 0u)
        << outcome.error;
}

} // namespace
