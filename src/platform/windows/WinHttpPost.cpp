// One POST through WinHTTP, with the system's proxy settings and certificate checks; a
// redirect is not followed, as nothing here expects one.
#include "platform/HttpPost.h"
#include "platform/windows/WinHttpCalls.h"

#include <string>

namespace kestrune::platform {
namespace {

constexpr DWORD kResolveTimeout = 15000;
constexpr DWORD kConnectTimeout = 15000;
constexpr DWORD kTransferTimeout = 60000;
constexpr DWORD kContentTypeRoom = 256;

struct ErrorName {
    DWORD code;
    const char* text;
};

constexpr ErrorName kErrorNames[] = {
    {ERROR_WINHTTP_TIMEOUT, "the request timed out"},
    {ERROR_WINHTTP_NAME_NOT_RESOLVED, "the server's name could not be resolved"},
    {ERROR_WINHTTP_CANNOT_CONNECT, "no connection to the server could be made"},
    {ERROR_WINHTTP_CONNECTION_ERROR, "the connection was reset or ended"},
    {ERROR_WINHTTP_SECURE_FAILURE, "the server's certificate did not pass the checks"},
    {ERROR_WINHTTP_SECURE_CERT_DATE_INVALID, "the server's certificate is out of its dates"},
    {ERROR_WINHTTP_SECURE_CERT_CN_INVALID, "the server's certificate names another host"},
    {ERROR_WINHTTP_SECURE_INVALID_CA, "the server's certificate is from an untrusted authority"},
    {ERROR_WINHTTP_SECURE_CERT_REVOKED, "the server's certificate was revoked"},
    {ERROR_WINHTTP_SECURE_CERT_REV_FAILED, "the server's certificate's revocation is unknown"},
    {ERROR_WINHTTP_SECURE_CHANNEL_ERROR, "the secure channel failed"},
    {ERROR_WINHTTP_CLIENT_AUTH_CERT_NEEDED, "the server asks for a client certificate"},
    {ERROR_WINHTTP_INVALID_SERVER_RESPONSE, "the server's answer is no HTTP"},
    {ERROR_WINHTTP_INVALID_URL, "the address is not valid"},
    {ERROR_WINHTTP_UNRECOGNIZED_SCHEME, "the address's scheme is unknown"},
    {ERROR_WINHTTP_OPERATION_CANCELLED, "the request was cancelled"},
    {ERROR_NOT_ENOUGH_MEMORY, "out of memory"},
};

const wchar_t* wide(const std::wstring& text) {
    return text.c_str();
}

// A WinHTTP handle closed through the calls it came from.
class Internet {
public:
    Internet(const HttpCalls& calls, HINTERNET handle) : calls_(calls), handle_(handle) {}
    ~Internet() {
        if (handle_)
            calls_.closeHandle(handle_);
    }
    Internet(const Internet&) = delete;
    Internet& operator=(const Internet&) = delete;
    HINTERNET get() const { return handle_; }
    explicit operator bool() const { return handle_ != nullptr; }

private:
    const HttpCalls& calls_;
    HINTERNET handle_;
};

struct Target {
    std::wstring host;
    INTERNET_PORT port = 0;
    std::wstring path; // with the query
    bool secure = false;
};

// Empty host: no http or https address.
Target targetOf(const HttpCalls& calls, const std::wstring& address, QString* why) {
    URL_COMPONENTS parts{};
    parts.dwStructSize = sizeof(parts);
    parts.dwSchemeLength = parts.dwHostNameLength = parts.dwUrlPathLength =
        parts.dwExtraInfoLength = static_cast<DWORD>(-1);
    if (!calls.crackUrl(wide(address), static_cast<DWORD>(address.size()), 0, &parts)) {
        *why = httpErrorText(calls.getLastError());
        return {};
    }
    if (parts.nScheme != INTERNET_SCHEME_HTTP && parts.nScheme != INTERNET_SCHEME_HTTPS) {
        *why = QStringLiteral("only http and https are taken");
        return {};
    }
    Target target;
    target.host.assign(parts.lpszHostName, parts.dwHostNameLength);
    target.port = parts.nPort;
    target.secure = parts.nScheme == INTERNET_SCHEME_HTTPS;
    target.path.assign(parts.lpszUrlPath, parts.dwUrlPathLength);
    target.path.append(parts.lpszExtraInfo, parts.dwExtraInfoLength);
    if (target.path.empty())
        target.path = L"/";
    if (target.host.empty())
        *why = QStringLiteral("it names no host");
    return target;
}

QString failedStep(const HttpCalls& calls, const char* step) {
    return QStringLiteral("%1: %2").arg(QLatin1String(step), httpErrorText(calls.getLastError()));
}

HINTERNET openSession(const HttpCalls& calls) {
    // The user's proxy settings; before Windows 8.1 only WinHTTP's own.
    HINTERNET session = calls.open(L"Kestrune", WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY,
                                   WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0);
    if (!session)
        session = calls.open(L"Kestrune", WINHTTP_ACCESS_TYPE_DEFAULT_PROXY, WINHTTP_NO_PROXY_NAME,
                             WINHTTP_NO_PROXY_BYPASS, 0);
    return session;
}

// The status of the answer, or 0 and why not.
DWORD statusOf(const HttpCalls& calls, HINTERNET request, QString* why) {
    DWORD status = 0;
    DWORD size = sizeof(status);
    if (!calls.queryHeaders(request, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                            WINHTTP_HEADER_NAME_BY_INDEX, &status, &size,
                            WINHTTP_NO_HEADER_INDEX)) {
        *why = failedStep(calls, "the answer has no status");
        return 0;
    }
    return status;
}

// The media type of the answer (lower case, without parameters); empty when it names none.
QByteArray mediaTypeOf(const HttpCalls& calls, HINTERNET request) {
    std::wstring type(kContentTypeRoom, L'\0');
    DWORD size = static_cast<DWORD>(type.size() * sizeof(wchar_t));
    bool found =
        calls.queryHeaders(request, WINHTTP_QUERY_CONTENT_TYPE, WINHTTP_HEADER_NAME_BY_INDEX,
                           type.data(), &size, WINHTTP_NO_HEADER_INDEX);
    if (!found && calls.getLastError() == ERROR_INSUFFICIENT_BUFFER) {
        type.assign(size / sizeof(wchar_t) + 1, L'\0');
        found =
            calls.queryHeaders(request, WINHTTP_QUERY_CONTENT_TYPE, WINHTTP_HEADER_NAME_BY_INDEX,
                               type.data(), &size, WINHTTP_NO_HEADER_INDEX);
    }
    if (!found)
        return {};
    type.resize(size / sizeof(wchar_t));
    const QString text = QString::fromStdWString(type);
    return text.section(u';', 0, 0).trimmed().toLower().toLatin1();
}

struct Body {
    QByteArray bytes;
    QString brokeOff; // why the transfer ended early
    bool tooLarge = false;
};

Body bodyOf(const HttpCalls& calls, HINTERNET request) {
    Body body;
    for (;;) {
        DWORD available = 0;
        if (!calls.queryDataAvailable(request, &available)) {
            body.brokeOff = failedStep(calls, "the answer broke off");
            return body;
        }
        if (available == 0)
            return body;
        const qsizetype had = body.bytes.size();
        if (had + static_cast<qsizetype>(available) > kMaxHttpAnswer) {
            body.tooLarge = true;
            return body;
        }
        body.bytes.resize(had + available);
        DWORD read = 0;
        if (!calls.readData(request, body.bytes.data() + had, available, &read)) {
            body.brokeOff = failedStep(calls, "the answer broke off");
            return body;
        }
        body.bytes.resize(had + read);
        if (read == 0)
            return body;
    }
}

} // namespace

QString httpErrorText(DWORD code) {
    for (const ErrorName& name : kErrorNames)
        if (name.code == code)
            return QStringLiteral("%1 (error %2)").arg(QLatin1String(name.text)).arg(code);
    return code >= WINHTTP_ERROR_BASE && code <= WINHTTP_ERROR_BASE + 999
               ? QStringLiteral("WinHTTP error %1").arg(code)
               : QStringLiteral("system error %1").arg(code);
}

QByteArray postHttp(const HttpCalls& calls, const QString& url, const QByteArray& contentType,
                    const QByteArray& body, const QByteArray& expectedType, QString* failure) {
    auto fail = [&](const QString& why) {
        if (failure)
            *failure = why;
        return QByteArray();
    };
    auto noAnswer = [&](const QString& why) {
        return fail(QStringLiteral("%1 did not answer: %2").arg(url, why));
    };
    QString why;
    const Target target = targetOf(calls, url.toStdWString(), &why);
    if (target.host.empty())
        return fail(QStringLiteral("%1 is no http or https address: %2").arg(url, why));
    const Internet session(calls, openSession(calls));
    if (!session)
        return noAnswer(failedStep(calls, "no WinHTTP session"));
    // Without its limits a silent server would hold the job's documents for ever.
    if (!calls.setTimeouts(session.get(), kResolveTimeout, kConnectTimeout, kTransferTimeout,
                           kTransferTimeout))
        return noAnswer(failedStep(calls, "no time limits could be set"));
    const Internet connection(calls,
                              calls.connect(session.get(), wide(target.host), target.port, 0));
    if (!connection)
        return noAnswer(failedStep(calls, "no connection"));
    const Internet request(calls,
                           calls.openRequest(connection.get(), L"POST", wide(target.path), nullptr,
                                             WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES,
                                             target.secure ? WINHTTP_FLAG_SECURE : 0));
    if (!request)
        return noAnswer(failedStep(calls, "no request"));
    DWORD noRedirects = WINHTTP_DISABLE_REDIRECTS;
    // A redirect could lead anywhere, also away from https.
    if (!calls.setOption(request.get(), WINHTTP_OPTION_DISABLE_FEATURE, &noRedirects,
                         sizeof(noRedirects)))
        return noAnswer(failedStep(calls, "redirects could not be turned off"));
    const std::wstring header =
        L"Content-Type: " + QString::fromLatin1(contentType).toStdWString() + L"\r\n";
    const auto length = static_cast<DWORD>(body.size());
    if (!calls.sendRequest(request.get(), wide(header), static_cast<DWORD>(-1),
                           const_cast<char*>(body.constData()), length, length, 0))
        return noAnswer(failedStep(calls, "sending the request failed"));
    if (!calls.receiveResponse(request.get(), nullptr))
        return noAnswer(failedStep(calls, "no answer came"));
    const DWORD status = statusOf(calls, request.get(), &why);
    if (status == 0)
        return noAnswer(why);
    if (status != 200)
        return fail(QStringLiteral("%1 answered with HTTP status %2").arg(url).arg(status));
    const QByteArray answerType = mediaTypeOf(calls, request.get());
    // The media type itself: a longer one that merely begins with it is another.
    if (!expectedType.isEmpty() && answerType != expectedType.toLower())
        return fail(
            QStringLiteral("%1 answered with %2, not %3")
                .arg(url,
                     QString::fromLatin1(answerType.isEmpty() ? "no content type" : answerType),
                     QString::fromLatin1(expectedType)));
    const Body answer = bodyOf(calls, request.get());
    if (answer.tooLarge)
        return fail(
            QStringLiteral("%1 answered with more than %2 bytes").arg(url).arg(kMaxHttpAnswer));
    if (!answer.brokeOff.isEmpty())
        return noAnswer(answer.brokeOff);
    return answer.bytes;
}

QByteArray PostHttp(const QString& url, const QByteArray& contentType, const QByteArray& body,
                    const QByteArray& expectedType, QString* failure) {
    return postHttp(systemHttpCalls(), url, contentType, body, expectedType, failure);
}

const HttpCalls& systemHttpCalls() {
    static const HttpCalls calls{
        &::WinHttpCrackUrl,     &::WinHttpOpen,
        &::WinHttpSetTimeouts,  &::WinHttpConnect,
        &::WinHttpOpenRequest,  &::WinHttpSetOption,
        &::WinHttpSendRequest,  &::WinHttpReceiveResponse,
        &::WinHttpQueryHeaders, &::WinHttpQueryDataAvailable,
        &::WinHttpReadData,     &::WinHttpCloseHandle,
        &::GetLastError,
    };
    return calls;
}

} // namespace kestrune::platform
