// One transfer over https, through the system's own network library (libcurl on Linux,
// WinHTTP on Windows). No toolkit: texts are UTF-8, paths in the system's encoding.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>

namespace kestrune::update {

struct TransferRequest {
    std::string address;       // https:// only, redirects too
    std::string caFile;        // the authorities to check servers against; empty: the system's
    bool shortTimeout = false; // a feed: 3 s to connect, 5 s in all; else only a stall stops it
    int64_t limit = 0;         // the most it may send
    bool exact = false;        // limit is the size the feed announces, not just a ceiling
    std::function<bool(const char*, size_t)> sink; // false: what came could not be kept
    const std::atomic<bool>* cancel = nullptr;
    std::function<void(int64_t, int64_t)> progress; // received, total or -1
};

struct TransferOutcome {
    bool ok = false;
    bool refused = false; // a check failed (certificate, address, size), not just the network
    int64_t received = 0;
    std::string error;
};

TransferOutcome runTransfer(const TransferRequest& request);

// What both systems' transfers share: the size limit, the sink and the failure texts.
class TransferCounter {
public:
    explicit TransferCounter(const TransferRequest& request) : request_(request) {}
    // False when the bytes exceed the limit or could not be kept; the transfer stops.
    bool take(const char* data, size_t size);
    // False when the size the server announces (or -1) already exceeds the limit.
    bool announce(int64_t total);
    int64_t received() const { return received_; }
    bool tooLarge() const { return tooLarge_; }
    bool writeFailed() const { return writeFailed_; }
    // The failure text when take() refused, else empty.
    std::string takeFailure() const;

private:
    const TransferRequest& request_;
    int64_t received_ = 0;
    bool tooLarge_ = false;
    bool writeFailed_ = false;
};

std::string cancelledMessage();
std::string notHttpsRedirectMessage(const std::string& address, const std::string& detail);
std::string fetchFailedMessage(const std::string& address, const std::string& detail);

} // namespace kestrune::update
