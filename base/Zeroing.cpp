#include "base/Zeroing.h"

#include "base/AbortFlag.h"

#include <algorithm>
#include <chrono>
#include <cstring>

namespace kestrune::blockio {

namespace {

using Clock = std::chrono::steady_clock;

// A block grows while the medium takes it quickly and shrinks while it is slow, so a fast
// disk gets large requests and a slow stick still sees the abort within a second.
constexpr size_t kFirstBlock = 1u << 20;
constexpr size_t kLargestBlock = 4u << 20;
constexpr size_t kSmallestBlock = 64u << 10;
constexpr auto kQuickBlock = std::chrono::milliseconds(60);
constexpr auto kSlowBlock = std::chrono::milliseconds(250);
constexpr auto kReportEvery = std::chrono::milliseconds(250);

class PercentReport {
public:
    PercentReport(const std::function<void(int)>& progress, uint64_t total)
        : progress_(progress), total_(total) {}
    void start() { tell(0); }
    // Whether a report is due; the caller syncs a buffered device first, so the percent is
    // what reached the medium.
    bool due(uint64_t done) const {
        return progress_ && percentOf(done) != told_ && Clock::now() - toldAt_ >= kReportEvery;
    }
    void report(uint64_t done) { tell(percentOf(done)); }
    void finish() {
        if (told_ != 100)
            tell(100);
    }

private:
    int percentOf(uint64_t done) const {
        return total_ ? static_cast<int>(std::min<uint64_t>(done, total_) * 100 / total_) : 100;
    }
    void tell(int percent) {
        if (progress_)
            progress_(percent);
        told_ = percent;
        toldAt_ = Clock::now();
    }

    const std::function<void(int)>& progress_;
    uint64_t total_;
    int told_ = -1;
    Clock::time_point toldAt_;
};

ZeroingOutcome failed(int error) {
    return ZeroingOutcome{ZeroingOutcome::End::Failed, error};
}

} // namespace

ZeroingOutcome writeZeros(BlockDevice& device, uint64_t from, uint64_t to,
                          const std::function<void(int percent)>& progress,
                          const unsigned char* abortFlag) {
    AlignedBuffer zeros(kLargestBlock);
    if (!zeros)
        return failed(ENOMEM);
    std::memset(zeros.data(), 0, zeros.size());
    PercentReport percent(progress, to > from ? to - from : 0);
    percent.start();
    size_t block = kFirstBlock;
    for (uint64_t at = from; at < to;) {
        if (AbortFlag::raisedAt(abortFlag))
            return ZeroingOutcome{ZeroingOutcome::End::Aborted, 0};
        const auto length = static_cast<size_t>(std::min<uint64_t>(block, to - at));
        const Clock::time_point started = Clock::now();
        if (int rc = device.writeAt(zeros.data(), length, at))
            return failed(rc);
        const Clock::duration took = Clock::now() - started;
        if (length == block && took > kSlowBlock && block / 2 >= kSmallestBlock)
            block /= 2;
        else if (length == block && took < kQuickBlock && block * 2 <= kLargestBlock)
            block *= 2;
        at += length;
        if (!percent.due(at - from))
            continue;
        if (!device.direct())
            if (int rc = device.sync())
                return failed(rc);
        percent.report(at - from);
    }
    if (int rc = device.sync())
        return failed(rc);
    percent.finish();
    return {};
}

} // namespace kestrune::blockio
