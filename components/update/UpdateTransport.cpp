#include "UpdateTransport.h"

namespace kestrune::update {

bool TransferCounter::take(const char* data, size_t size) {
    if (received_ + int64_t(size) > request_.limit) {
        tooLarge_ = true;
        return false;
    }
    received_ += int64_t(size);
    if (!request_.sink(data, size)) {
        writeFailed_ = true;
        return false;
    }
    return true;
}

bool TransferCounter::announce(int64_t total) {
    tooLarge_ = total > request_.limit;
    return !tooLarge_;
}

std::string TransferCounter::takeFailure() const {
    if (tooLarge_ && request_.exact)
        return request_.address + " sends more than the " + std::to_string(request_.limit) +
               " bytes the update information announces.";
    if (tooLarge_)
        return "The file at " + request_.address + " is larger than expected.";
    if (writeFailed_)
        return "The file could not be written.";
    return {};
}

std::string cancelledMessage() {
    return "The download was cancelled.";
}

std::string notHttpsRedirectMessage(const std::string& address, const std::string& detail) {
    return address + " leads to an address that is not https:// (" + detail + ")";
}

std::string fetchFailedMessage(const std::string& address, const std::string& detail) {
    return address + " could not be fetched: " + detail;
}

} // namespace kestrune::update
