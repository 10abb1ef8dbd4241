// The console's control events arrive on a thread the system starts for each; the request is
// posted to the thread that owns the object. Windows ends the process as soon as the handler
// of a close, logoff or shutdown returns, so that handler never returns: the program ends
// itself the orderly way, or the system ends it when its wait is over.
#include "platform/TerminationSignals.h"
#include "platform/windows/ConsoleCalls.h"

#include <csignal>
#include <cstdio>
#include <mutex>

namespace kestrune::platform {
namespace {

std::atomic<const ConsoleCalls*> callsInUse{nullptr};

const ConsoleCalls& signalCalls() {
    const ConsoleCalls* calls = callsInUse.load();
    return calls ? *calls : systemConsoleCalls();
}

std::mutex ownerMutex;
TerminationSignals* owner = nullptr; // the one instance whose handler is installed
const ConsoleCalls* ownerCalls = nullptr;

BOOL WINAPI onConsoleEvent(DWORD event) {
    const int signalNumber = signalOfConsoleEvent(event);
    if (signalNumber == 0)
        return FALSE;
    const ConsoleCalls* calls = nullptr;
    {
        std::lock_guard guard(ownerMutex);
        if (!owner)
            return FALSE; // the next handler, or the system's, takes it
        calls = ownerCalls;
        // Under the lock: the object cannot go while the request is on its way.
        QMetaObject::invokeMethod(
            owner,
            [target = owner, signalNumber] { emit target->terminationRequested(signalNumber); },
            Qt::QueuedConnection);
    }
    if (signalNumber == SIGTERM)
        calls->sleep(INFINITE);
    return TRUE;
}

} // namespace

int signalOfConsoleEvent(DWORD event) {
    switch (event) {
    case CTRL_C_EVENT:
        return SIGINT;
    case CTRL_BREAK_EVENT:
        return SIGBREAK;
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT:
        return SIGTERM;
    default:
        return 0;
    }
}

ConsoleCallsScope::ConsoleCallsScope(const ConsoleCalls& calls)
    : previous_(callsInUse.exchange(&calls)) {}

ConsoleCallsScope::~ConsoleCallsScope() {
    callsInUse.store(previous_);
}

struct TerminationSignals::Impl {
    const ConsoleCalls* calls = nullptr;
    bool installed = false;
};

TerminationSignals::TerminationSignals(QObject* parent)
    : QObject(parent), d_(std::make_unique<Impl>()) {
    d_->calls = &signalCalls();
    {
        std::lock_guard guard(ownerMutex);
        if (owner) {
            std::fprintf(stderr, "Termination signals: cannot be handled (already handled)\n");
            return;
        }
        owner = this;
        ownerCalls = d_->calls;
    }
    if (!d_->calls->setCtrlHandler(onConsoleEvent, TRUE)) {
        std::fprintf(stderr, "Termination signals: cannot be handled (error %lu)\n",
                     d_->calls->getLastError());
        std::lock_guard guard(ownerMutex);
        owner = nullptr;
        return;
    }
    d_->installed = true;
}

TerminationSignals::~TerminationSignals() {
    if (!d_->installed)
        return;
    {
        std::lock_guard guard(ownerMutex);
        owner = nullptr;
    }
    // The handlers installed before ours answer again.
    d_->calls->setCtrlHandler(onConsoleEvent, FALSE);
}

bool TerminationSignals::isActive() const {
    return d_->installed;
}

} // namespace kestrune::platform
