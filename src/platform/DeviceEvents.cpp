#include "platform/DeviceEvents.h"

#include <algorithm>
#include <utility>

namespace kestrune::platform {

namespace {
// Longest a stream of events may hold back its signal.
constexpr qint64 kMaxDelayMs = 1000;
} // namespace

EventBurst::EventBurst(int debounceMs, std::function<void()> arrived, std::function<void()> removed)
    : debounceMs_(debounceMs), arrived_(std::move(arrived)), removed_(std::move(removed)) {
    timer_.setSingleShot(true);
    QObject::connect(&timer_, &QTimer::timeout, &timer_, [this] { deliver(); });
}

void EventBurst::note(bool arrival) {
    (arrival ? arrivalPending_ : removalPending_) = true;
    if (!timer_.isActive())
        since_.start();
    const qint64 left = std::max<qint64>(0, kMaxDelayMs - since_.elapsed());
    timer_.start(static_cast<int>(std::min<qint64>(debounceMs_, left)));
}

void EventBurst::deliver() {
    const bool removal = std::exchange(removalPending_, false);
    const bool arrival = std::exchange(arrivalPending_, false);
    if (removal)
        removed_();
    if (arrival)
        arrived_();
}

void SuppressedDisks::set(const QString& key, bool suppress) {
    std::lock_guard guard(mutex_);
    Entry& entry = entries_[key];
    if (suppress) {
        ++entry.count;
    } else if (entry.count > 0) {
        --entry.count;
        entry.until = Clock::now() + std::chrono::milliseconds(graceMs_);
    }
}

bool SuppressedDisks::covers(
    const QString& path,
    const std::function<bool(const QString& key, const QString& path)>& within) {
    if (path.isEmpty())
        return false;
    std::lock_guard guard(mutex_);
    const auto now = Clock::now();
    for (auto it = entries_.begin(); it != entries_.end();) {
        if (it->second.count == 0 && it->second.until <= now) {
            it = entries_.erase(it);
            continue;
        }
        if (within(it->first, path))
            return true;
        ++it;
    }
    return false;
}

} // namespace kestrune::platform
