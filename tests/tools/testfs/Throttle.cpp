#include "Throttle.h"

#include <algorithm>
#include <thread>

namespace kestrune::testfs {

Throttle::Throttle(std::uint64_t bytesPerSecond)
    : rate_(static_cast<double>(bytesPerSecond)),
      burst_(std::max<std::uint64_t>(bytesPerSecond / 10, 1)), tokens_(static_cast<double>(burst_)),
      refilled_(Clock::now()) {}

void Throttle::pass(std::size_t bytes) {
    if (rate_ == 0)
        return;
    Clock::time_point until;
    {
        std::lock_guard guard(mutex_);
        const auto now = Clock::now();
        const double elapsed = std::chrono::duration<double>(now - refilled_).count();
        tokens_ = std::min(static_cast<double>(burst_), tokens_ + elapsed * rate_);
        refilled_ = now;
        tokens_ -= static_cast<double>(bytes);
        if (tokens_ >= 0)
            return;
        until = now + std::chrono::duration_cast<Clock::duration>(
                          std::chrono::duration<double>(-tokens_ / rate_));
    }
    std::this_thread::sleep_until(until);
}

void Throttle::request(bool write, std::uint64_t offset, std::size_t bytes) {
    const auto cost = write ? scatteredWrite_ : scatteredRead_;
    if (cost.count() != 0) {
        bool scattered = false;
        {
            std::lock_guard guard(mutex_);
            scattered = lastEnd_[write] != offset;
            lastEnd_[write] = offset + bytes;
        }
        if (scattered)
            std::this_thread::sleep_for(cost);
    }
    pass(bytes);
}

} // namespace kestrune::testfs
