#include "WinHttpCalls.h"

#include <chrono>
#include <cwctype>
#include <vector>

namespace kestrune::update {
namespace {

constexpr int kConnectMilliseconds = 3000;
constexpr int kFeedMilliseconds = 5000;
// A package download may take long; it stops when it stalls instead.
constexpr int kStallMilliseconds = 15000;
constexpr DWORD kMostRedirects = 5;
constexpr DWORD kChunkBytes = 64 * 1024;

std::wstring wide(const std::string& text) {
    const int length = ::MultiByteToWideChar(CP_UTF8, 0, text.data(), int(text.size()), nullptr, 0);
    std::wstring result(size_t(length), L'\0');
    ::MultiByteToWideChar(CP_UTF8, 0, text.data(), int(text.size()), result.data(), length);
    return result;
}

std::string narrow(const std::wstring& text) {
    const int length = ::WideCharToMultiByte(CP_UTF8, 0, text.data(), int(text.size()), nullptr, 0,
                                             nullptr, nullptr);
    std::string result(size_t(length), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, text.data(), int(text.size()), result.data(), length, nullptr,
                          nullptr);
    return result;
}

// A certificate that does not check out or a redirect away from https:// is no accident of
// the network.
bool isRefusal(DWORD code) {
    return code == ERROR_WINHTTP_SECURE_FAILURE || code == ERROR_WINHTTP_REDIRECT_FAILED ||
           (code >= ERROR_WINHTTP_SECURE_CERT_DATE_INVALID &&
            code <= ERROR_WINHTTP_SECURE_CERT_CN_INVALID) ||
           code == ERROR_WINHTTP_SECURE_INVALID_CA || code == ERROR_WINHTTP_SECURE_CERT_REVOKED ||
           code == ERROR_WINHTTP_SECURE_INVALID_CERT ||
           code == ERROR_WINHTTP_SECURE_CERT_WRONG_USAGE;
}

std::string reasonOf(DWORD code) {
    const char* reason = "the connection failed";
    switch (code) {
    case ERROR_WINHTTP_TIMEOUT:
        reason = "the server did not answer in time";
        break;
    case ERROR_WINHTTP_NAME_NOT_RESOLVED:
        reason = "the server's name is not known";
        break;
    case ERROR_WINHTTP_CANNOT_CONNECT:
        reason = "no connection to the server";
        break;
    case ERROR_WINHTTP_CONNECTION_ERROR:
        reason = "the connection broke off";
        break;
    case ERROR_WINHTTP_INVALID_SERVER_RESPONSE:
        reason = "the server's answer is not HTTP";
        break;
    case ERROR_WINHTTP_REDIRECT_FAILED:
        reason = "a redirect leads to another scheme or too far";
        break;
    default:
        if (isRefusal(code))
            reason = "the server's certificate does not check out";
    }
    return std::string(reason) + " (WinHTTP error " + std::to_string(code) + ")";
}

class Handle {
public:
    Handle(const WinHttpCalls& calls, HINTERNET handle) : calls_(calls), handle_(handle) {}
    ~Handle() {
        if (handle_)
            calls_.closeHandle(handle_);
    }
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    HINTERNET get() const { return handle_; }
    explicit operator bool() const { return handle_ != nullptr; }

private:
    const WinHttpCalls& calls_;
    HINTERNET handle_;
};

struct Target {
    std::wstring host, path;
    INTERNET_PORT port = 0;
};

bool crack(const WinHttpCalls& calls, const std::wstring& address, Target* target) {
    URL_COMPONENTS parts{};
    parts.dwStructSize = sizeof parts;
    parts.dwHostNameLength = parts.dwUrlPathLength = parts.dwExtraInfoLength = DWORD(-1);
    parts.dwSchemeLength = DWORD(-1);
    if (!calls.crackUrl(address.c_str(), DWORD(address.size()), 0, &parts) ||
        parts.nScheme != INTERNET_SCHEME_HTTPS || parts.dwHostNameLength == 0)
        return false;
    target->host.assign(parts.lpszHostName, parts.dwHostNameLength);
    target->path.assign(parts.lpszUrlPath, parts.dwUrlPathLength);
    // The query goes to the server, a fragment never does.
    const std::wstring extra(parts.lpszExtraInfo ? parts.lpszExtraInfo : L"",
                             parts.dwExtraInfoLength);
    target->path += extra.substr(0, extra.find(L'#'));
    if (target->path.empty())
        target->path = L"/";
    target->port = parts.nPort;
    return true;
}

// Where the request ended up after its redirects.
std::wstring finalAddress(const WinHttpCalls& calls, HINTERNET request) {
    DWORD bytes = 0;
    calls.queryOption(request, WINHTTP_OPTION_URL, nullptr, &bytes);
    std::vector<wchar_t> buffer(bytes / sizeof(wchar_t) + 1, L'\0');
    bytes = DWORD(buffer.size() * sizeof(wchar_t));
    if (!calls.queryOption(request, WINHTTP_OPTION_URL, buffer.data(), &bytes))
        return {};
    return buffer.data();
}

bool numberHeader(const WinHttpCalls& calls, HINTERNET request, DWORD which, DWORD* value) {
    DWORD bytes = sizeof *value;
    return calls.queryHeaders(request, which | WINHTTP_QUERY_FLAG_NUMBER,
                              WINHTTP_HEADER_NAME_BY_INDEX, value, &bytes, WINHTTP_NO_HEADER_INDEX);
}

std::wstring contentType(const WinHttpCalls& calls, HINTERNET request) {
    wchar_t buffer[256] = {};
    DWORD bytes = sizeof buffer - sizeof(wchar_t);
    if (!calls.queryHeaders(request, WINHTTP_QUERY_CONTENT_TYPE, WINHTTP_HEADER_NAME_BY_INDEX,
                            buffer, &bytes, WINHTTP_NO_HEADER_INDEX))
        return {};
    std::wstring type(buffer);
    type = type.substr(0, type.find(L';'));
    for (wchar_t& c : type)
        c = wchar_t(std::towlower(c));
    return type.substr(0, type.find_last_not_of(L' ') + 1);
}

class Exchange {
public:
    Exchange(const WinHttpCalls& calls, const TransferRequest& request)
        : calls_(calls), request_(request), counter_(request) {}

    TransferOutcome run() {
        TransferOutcome outcome;
        if (!request_.caFile.empty())
            return refuse("the update authorities file " + request_.caFile +
                          " is not used: on Windows the system's authorities check the server");
        Target target;
        if (!crack(calls_, wide(request_.address), &target))
            return refuse(request_.address + " is not an https:// address");
        const Handle session(calls_,
                             calls_.open(L"Kestrune-Update", WINHTTP_ACCESS_TYPE_DEFAULT_PROXY,
                                         WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0));
        if (!session || !configure(session.get()))
            return failed();
        const Handle connection(calls_,
                                calls_.connect(session.get(), target.host.c_str(), target.port, 0));
        if (!connection)
            return failed();
        const Handle exchange(
            calls_, calls_.openRequest(connection.get(), L"GET", target.path.c_str(), nullptr,
                                       WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES,
                                       WINHTTP_FLAG_SECURE));
        if (!exchange)
            return failed();
        if (request_.cancel && request_.cancel->load())
            return cancelled();
        if (!calls_.sendRequest(exchange.get(), WINHTTP_NO_ADDITIONAL_HEADERS, 0,
                                WINHTTP_NO_REQUEST_DATA, 0, 0, 0) ||
            !calls_.receiveResponse(exchange.get(), nullptr))
            return failed();
        if (TransferOutcome refused = checkResponse(exchange.get()); !refused.error.empty())
            return refused;
        return readBody(exchange.get());
    }

private:
    bool configure(HINTERNET session) {
        DWORD policy = WINHTTP_OPTION_REDIRECT_POLICY_DISALLOW_HTTPS_TO_HTTP;
        DWORD redirects = kMostRedirects;
        const int wait = request_.shortTimeout ? kFeedMilliseconds : kStallMilliseconds;
        return calls_.setTimeouts(session, kConnectMilliseconds, kConnectMilliseconds, wait,
                                  wait) &&
               calls_.setOption(session, WINHTTP_OPTION_REDIRECT_POLICY, &policy, sizeof policy) &&
               calls_.setOption(session, WINHTTP_OPTION_MAX_HTTP_AUTOMATIC_REDIRECTS, &redirects,
                                sizeof redirects);
    }

    // The answer is a whole one from an https:// address, and not a web page in its place;
    // an outcome with its reason when it is not, else an empty one.
    TransferOutcome checkResponse(HINTERNET exchange) {
        const std::wstring final = finalAddress(calls_, exchange);
        if (final.compare(0, 8, L"https://") != 0)
            return refuse(notHttpsRedirectMessage(request_.address,
                                                  final.empty() ? "no address" : narrow(final)));
        DWORD status = 0;
        if (!numberHeader(calls_, exchange, WINHTTP_QUERY_STATUS_CODE, &status))
            return failed();
        if (status != 200) {
            TransferOutcome outcome;
            outcome.error = fetchFailedMessage(
                request_.address, "The requested URL returned error: " + std::to_string(status));
            return outcome;
        }
        // A portal or an error page answers in HTML; neither a feed nor a package does.
        if (const std::wstring type = contentType(calls_, exchange); type == L"text/html")
            return refuse(request_.address + " sends a web page (text/html), not the update");
        DWORD length = 0;
        if (numberHeader(calls_, exchange, WINHTTP_QUERY_CONTENT_LENGTH, &length))
            total_ = length;
        if (!counter_.announce(total_))
            return refuse(counter_.takeFailure());
        return {};
    }

    TransferOutcome readBody(HINTERNET exchange) {
        const auto deadline =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(kFeedMilliseconds);
        std::vector<char> buffer(kChunkBytes);
        for (;;) {
            if (request_.cancel && request_.cancel->load())
                return cancelled();
            if (request_.shortTimeout && std::chrono::steady_clock::now() > deadline)
                return failedWith(ERROR_WINHTTP_TIMEOUT);
            DWORD got = 0;
            if (!calls_.readData(exchange, buffer.data(), DWORD(buffer.size()), &got))
                return failed();
            if (got == 0)
                break;
            if (!counter_.take(buffer.data(), got)) {
                TransferOutcome outcome;
                outcome.refused = counter_.tooLarge();
                outcome.error = counter_.takeFailure();
                outcome.received = counter_.received();
                return outcome;
            }
            if (request_.progress)
                request_.progress(counter_.received(), total_ >= 0 ? total_ : -1);
        }
        TransferOutcome outcome;
        outcome.ok = true;
        outcome.received = counter_.received();
        return outcome;
    }

    TransferOutcome refuse(const std::string& reason) const {
        TransferOutcome outcome;
        outcome.refused = true;
        outcome.error = reason;
        return outcome;
    }
    TransferOutcome failedWith(DWORD code) const {
        TransferOutcome outcome;
        outcome.refused = isRefusal(code);
        outcome.error = code == ERROR_WINHTTP_REDIRECT_FAILED
                            ? notHttpsRedirectMessage(request_.address, reasonOf(code))
                            : fetchFailedMessage(request_.address, reasonOf(code));
        outcome.received = counter_.received();
        return outcome;
    }
    TransferOutcome failed() const { return failedWith(calls_.getLastError()); }
    TransferOutcome cancelled() const {
        TransferOutcome outcome;
        outcome.error = cancelledMessage();
        return outcome;
    }

    const WinHttpCalls& calls_;
    const TransferRequest& request_;
    TransferCounter counter_;
    int64_t total_ = -1;
};

} // namespace

const WinHttpCalls& systemWinHttpCalls() {
    static const WinHttpCalls calls{
        &::WinHttpOpen,        &::WinHttpCrackUrl,        &::WinHttpConnect,
        &::WinHttpOpenRequest, &::WinHttpSetOption,       &::WinHttpSetTimeouts,
        &::WinHttpSendRequest, &::WinHttpReceiveResponse, &::WinHttpQueryHeaders,
        &::WinHttpQueryOption, &::WinHttpReadData,        &::WinHttpCloseHandle,
        &::GetLastError,
    };
    return calls;
}

TransferOutcome runTransfer(const WinHttpCalls& calls, const TransferRequest& request) {
    return Exchange(calls, request).run();
}

TransferOutcome runTransfer(const TransferRequest& request) {
    return runTransfer(systemWinHttpCalls(), request);
}

} // namespace kestrune::update
