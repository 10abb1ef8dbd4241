#include "UpdateTransport.h"

#include "base/TrustedPath.h"

#include <curl/curl.h>
#include <mutex>
#include <unistd.h>

namespace kestrune::update {
namespace {

constexpr long kConnectTimeoutSeconds = 3;
constexpr long kFeedTimeoutSeconds = 5;
// A package download may take long; it stops when it stalls instead.
constexpr long kStallBytesPerSecond = 1;
constexpr long kStallSeconds = 15;

void initialiseCurl() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

struct Transfer {
    const TransferRequest& request;
    TransferCounter counter;
};

size_t receive(char* data, size_t size, size_t count, void* context) {
    auto* transfer = static_cast<Transfer*>(context);
    return transfer->counter.take(data, size * count) ? size * count : 0;
}

int transferInfo(void* context, curl_off_t total, curl_off_t now, curl_off_t, curl_off_t) {
    const TransferRequest& request = static_cast<Transfer*>(context)->request;
    if (request.cancel && request.cancel->load())
        return 1;
    if (request.progress)
        request.progress(int64_t(now), total > 0 ? int64_t(total) : -1);
    return 0;
}

void setOptions(CURL* curl, const TransferRequest& request, Transfer& transfer, char* message) {
    curl_easy_setopt(curl, CURLOPT_URL, request.address.c_str());
    curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, message);
    curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "https");
    curl_easy_setopt(curl, CURLOPT_REDIR_PROTOCOLS_STR, "https");
    if (!request.caFile.empty()) {
        curl_easy_setopt(curl, CURLOPT_CAINFO, request.caFile.c_str());
        curl_easy_setopt(curl, CURLOPT_CAPATH, nullptr);
    }
    curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(curl, CURLOPT_MAXREDIRS, 5L);
    curl_easy_setopt(curl, CURLOPT_FAILONERROR, 1L);
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, kConnectTimeoutSeconds);
    if (request.shortTimeout) {
        curl_easy_setopt(curl, CURLOPT_TIMEOUT, kFeedTimeoutSeconds);
    } else {
        curl_easy_setopt(curl, CURLOPT_LOW_SPEED_LIMIT, kStallBytesPerSecond);
        curl_easy_setopt(curl, CURLOPT_LOW_SPEED_TIME, kStallSeconds);
    }
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, receive);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &transfer);
    curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, transferInfo);
    curl_easy_setopt(curl, CURLOPT_XFERINFODATA, &transfer);
    curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
}

} // namespace

TransferOutcome runTransfer(const TransferRequest& request) {
    TransferOutcome outcome;
    if (!request.caFile.empty() && ::geteuid() == 0) {
        const std::string why = platform::UntrustedPathReason(request.caFile);
        if (!why.empty()) {
            outcome.refused = true;
            outcome.error =
                "the update authorities file " + request.caFile + " is not used: " + why;
            return outcome;
        }
    }
    initialiseCurl();
    CURL* curl = curl_easy_init();
    if (!curl) {
        outcome.error = "The network library could not be started.";
        return outcome;
    }
    char message[CURL_ERROR_SIZE] = {};
    Transfer transfer{request, TransferCounter(request)};
    setOptions(curl, request, transfer, message);
    const CURLcode code = curl_easy_perform(curl);
    curl_easy_cleanup(curl);
    outcome.received = transfer.counter.received();
    if (code == CURLE_OK) {
        outcome.ok = true;
        return outcome;
    }
    // A redirect away from https://, a server whose certificate does not check out or a file
    // that is too large is no accident of the network.
    outcome.refused = transfer.counter.tooLarge() || code == CURLE_UNSUPPORTED_PROTOCOL ||
                      code == CURLE_PEER_FAILED_VERIFICATION || code == CURLE_SSL_CACERT_BADFILE;
    const std::string detail = message[0] ? message : curl_easy_strerror(code);
    if (std::string failure = transfer.counter.takeFailure(); !failure.empty())
        outcome.error = failure;
    else if (code == CURLE_UNSUPPORTED_PROTOCOL)
        outcome.error = notHttpsRedirectMessage(request.address, detail);
    else if (code == CURLE_ABORTED_BY_CALLBACK)
        outcome.error = cancelledMessage();
    else
        outcome.error = fetchFailedMessage(request.address, detail);
    return outcome;
}

} // namespace kestrune::update
