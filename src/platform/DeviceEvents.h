#pragma once

#include <QElapsedTimer>
#include <QString>
#include <QTimer>
#include <chrono>
#include <functional>
#include <map>
#include <mutex>

namespace kestrune::platform {

// A burst of device events told as one call per kind, removals first, once the events have
// paused for the debounce time and at the latest a second after the burst began.
class EventBurst {
public:
    EventBurst(int debounceMs, std::function<void()> arrived, std::function<void()> removed);
    void note(bool arrival);

private:
    void deliver();

    int debounceMs_;
    std::function<void()> arrived_;
    std::function<void()> removed_;
    QTimer timer_;
    QElapsedTimer since_;
    bool arrivalPending_ = false;
    bool removalPending_ = false;
};

// Disks whose events a job's own partitioning causes: ignored while a job suppresses them
// and for a grace time after, because the system's events may still be on their way.
// Callable from any thread.
class SuppressedDisks {
public:
    explicit SuppressedDisks(int graceMs) : graceMs_(graceMs) {}
    void set(const QString& key, bool suppress);
    // Whether some suppressed key covers the path, as covers(key, path) decides.
    bool covers(const QString& path,
                const std::function<bool(const QString& key, const QString& path)>& within);

private:
    using Clock = std::chrono::steady_clock;
    struct Entry {
        int count = 0;
        Clock::time_point until{};
    };
    int graceMs_;
    std::mutex mutex_;
    std::map<QString, Entry> entries_;
};

} // namespace kestrune::platform
