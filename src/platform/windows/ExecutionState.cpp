// Windows keeps the machine awake for a thread that set ES_SYSTEM_REQUIRED continuously, until
// that thread clears it or ends. The thread that hold() and release() run on may be any (and
// may end), so the state lives on a thread of the inhibitor's own. Windows takes no reason
// for it: the reason only decides whether the state is wanted.
#include "platform/windows/DesktopCalls.h"

#include <condition_variable>
#include <mutex>
#include <system_error>
#include <thread>

namespace kestrune::platform {
namespace {

std::atomic<bool> failureTraced{false};

void traceSleepFailure(const QString& why) {
    traceDesktopOnce(failureTraced, "power",
                     QStringLiteral("the machine may sleep while jobs run (%1)").arg(why));
}

class ExecutionStateInhibitor final : public SleepInhibitor {
public:
    explicit ExecutionStateInhibitor(const PowerCalls& calls) : calls_(calls) {}

    ~ExecutionStateInhibitor() override {
        {
            std::lock_guard guard(mutex_);
            wanted_ = false;
            ending_ = true;
        }
        changed_.notify_one();
        if (thread_.joinable())
            thread_.join(); // it drops the state before it ends
    }

    void hold(const QString&) override { want(true); }
    void release() override { want(false); }

private:
    void want(bool wanted) {
        {
            std::lock_guard guard(mutex_);
            wanted_ = wanted;
            if (wanted && !thread_.joinable() && !noThread_)
                start();
        }
        changed_.notify_one();
    }

    // Under the lock.
    void start() {
        try {
            thread_ = std::thread([this] { run(); });
        } catch (const std::system_error& error) {
            noThread_ = true;
            traceSleepFailure(QStringLiteral("no thread to hold the execution state: %1")
                                  .arg(QString::fromLocal8Bit(error.what())));
        }
    }

    // Follows what is wanted, one change at a time; a hold and a release that meet here
    // before it woke cost no call.
    void run() {
        std::unique_lock lock(mutex_);
        bool held = false;
        for (;;) {
            changed_.wait(lock, [&] { return ending_ || wanted_ != held; });
            if (wanted_ != held) {
                const bool wanted = wanted_;
                lock.unlock();
                const EXECUTION_STATE flags =
                    wanted ? ES_CONTINUOUS | ES_SYSTEM_REQUIRED : ES_CONTINUOUS;
                const EXECUTION_STATE previous = calls_.setThreadExecutionState(flags);
                lock.lock();
                if (previous == 0 && wanted)
                    traceSleepFailure(QStringLiteral("SetThreadExecutionState refused"));
                held = wanted; // refused: not asked again until it is wanted anew
            }
            if (ending_ && !held)
                return;
        }
    }

    const PowerCalls& calls_;
    std::mutex mutex_;
    std::condition_variable changed_;
    bool wanted_ = false;
    bool ending_ = false;
    bool noThread_ = false;
    std::thread thread_;
};

} // namespace

const PowerCalls& systemPowerCalls() {
    static const PowerCalls calls{&::SetThreadExecutionState};
    return calls;
}

std::unique_ptr<SleepInhibitor> executionStateInhibitor(const PowerCalls& calls) {
    return std::make_unique<ExecutionStateInhibitor>(calls);
}

std::unique_ptr<SleepInhibitor> systemSleepInhibitor() {
    return executionStateInhibitor(systemPowerCalls());
}

} // namespace kestrune::platform
