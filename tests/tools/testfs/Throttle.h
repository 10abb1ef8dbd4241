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

    // A tenth of a second's worth, so a test's lower bound on time is (bytes - burst) / rate.
    std::uint64_t burst() const { return burst_; }

private:
    using Clock = std::chrono::steady_clock;

    const double rate_;
    const std::uint64_t burst_;
    std::mutex mutex_;
    double tokens_;
    Clock::time_point refilled_;
};

} // namespace kestrune::testfs
