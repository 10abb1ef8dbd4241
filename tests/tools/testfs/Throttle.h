#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <mutex>

namespace kestrune::testfs {

// A token bucket shared by reads and writes. A request larger than the bucket is let
// through and its debt paid by the requests after it, so the long-run rate holds for
// any request size.
class Throttle {
public:
    // 0 bytes per second: no limit.
    explicit Throttle(std::uint64_t bytesPerSecond);

    // Blocks until the bytes may pass.
    void pass(std::size_t bytes);

    // What a stick charges for a request that does not go on where the last one of its
    // kind ended (a new flash page to open, a map to look up).
    void setScatteredCost(std::chrono::microseconds write, std::chrono::microseconds read) {
        scatteredWrite_ = write;
        scatteredRead_ = read;
    }
    // Pays for the request, then lets its bytes pass.
    void request(bool write, std::uint64_t offset, std::size_t bytes);

    // A tenth of a second's worth, so a test's lower bound on time is (bytes - burst) / rate.
    std::uint64_t burst() const { return burst_; }

private:
    using Clock = std::chrono::steady_clock;

    const double rate_;
    const std::uint64_t burst_;
    std::mutex mutex_;
    double tokens_;
    Clock::time_point refilled_;
    std::chrono::microseconds scatteredWrite_{0};
    std::chrono::microseconds scatteredRead_{0};
    std::uint64_t lastEnd_[2] = {0, 0}; // of the last read, the last write
};

} // namespace kestrune::testfs
