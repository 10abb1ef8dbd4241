#include "platform/HttpPost.h"

#include <curl/curl.h>
#include <mutex>

namespace kestrune::platform {
namespace {

// An answer larger than this is not what was asked for.
constexpr qsizetype kMaxAnswer = 1 << 20;

size_t keep(char* data, size_t size, size_t count, void* target) {
    auto* answer = static_cast<QByteArray*>(target);
    const size_t bytes = size * count;
    if (answer->size() + static_cast<qsizetype>(bytes) > kMaxAnswer)
        return 0; // the transfer fails as written short
    answer->append(data, static_cast<qsizetype>(bytes));
    return bytes;
}

} // namespace

QByteArray PostHttp(const QString& url, const QByteArray& contentType, const QByteArray& body,
                    const QByteArray& expectedType, QString* failure) {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
    auto fail = [&](const QString& why) {
        if (failure)
            *failure = why;
        return QByteArray();
    };
    CURL* curl = curl_easy_init();
    if (!curl)
        return fail(QStringLiteral("no HTTP transfer could be set up"));
    QByteArray answer;
    char message[CURL_ERROR_SIZE] = {};
    const QByteArray address = url.toUtf8();
    const QByteArray header = "Content-Type: " + contentType;
    curl_slist* headers = curl_slist_append(nullptr, header.constData());
    curl_easy_setopt(curl, CURLOPT_URL, address.constData());
    curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, message);
    curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 0L);
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, 15L);
    curl_easy_setopt(curl, CURLOPT_TIMEOUT, 60L);
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
    curl_easy_setopt(curl, CURLOPT_POSTFIELDS, body.constData());
    curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE, static_cast<long>(body.size()));
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, keep);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &answer);
    const CURLcode result = curl_easy_perform(curl);
    long status = 0;
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
    char* type = nullptr;
    curl_easy_getinfo(curl, CURLINFO_CONTENT_TYPE, &type);
    const QByteArray answerType = type ? QByteArray(type).trimmed().toLower() : QByteArray();
    curl_slist_free_all(headers);
    curl_easy_cleanup(curl);
    if (result != CURLE_OK)
        return fail(
            QStringLiteral("%1 did not answer: %2")
                .arg(url, QString::fromUtf8(message[0] ? message : curl_easy_strerror(result))));
    if (status != 200)
        return fail(QStringLiteral("%1 answered with HTTP status %2").arg(url).arg(status));
    if (!expectedType.isEmpty() && !answerType.startsWith(expectedType))
        return fail(
            QStringLiteral("%1 answered with %2, not %3")
                .arg(url,
                     QString::fromLatin1(answerType.isEmpty() ? "no content type" : answerType),
                     QString::fromLatin1(expectedType)));
    return answer;
}

} // namespace kestrune::platform
