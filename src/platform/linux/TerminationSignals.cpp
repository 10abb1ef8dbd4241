#include "platform/TerminationSignals.h"

#include <QSocketNotifier>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

namespace kestrune::platform {

namespace {

constexpr int kSignals[] = {SIGTERM, SIGINT, SIGHUP};
std::atomic<int> writeEnd{-1};

// Only async-signal-safe calls here: the number goes through a pipe to the owning thread.
void onSignal(int signalNumber) {
    const int saved = errno;
    const int fd = writeEnd.load();
    if (fd >= 0) {
        const unsigned char byte = static_cast<unsigned char>(signalNumber);
        [[maybe_unused]] const ssize_t n = ::write(fd, &byte, 1);
    }
    errno = saved;
}

} // namespace

struct TerminationSignals::Impl {
    int pipe[2] = {-1, -1};
    struct sigaction previous[std::size(kSignals)]{};
    bool installed = false;
    QSocketNotifier* notifier = nullptr;
};

TerminationSignals::TerminationSignals(QObject* parent)
    : QObject(parent), d_(std::make_unique<Impl>()) {
    if (writeEnd.load() >= 0 || ::pipe2(d_->pipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        std::fprintf(stderr, "Termination signals: cannot be handled (%s)\n",
                     writeEnd.load() >= 0 ? "already handled" : "no pipe");
        return;
    }
    writeEnd.store(d_->pipe[1]);
    struct sigaction action {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (std::size_t i = 0; i < std::size(kSignals); ++i)
        sigaction(kSignals[i], &action, &d_->previous[i]);
    d_->installed = true;
    d_->notifier = new QSocketNotifier(d_->pipe[0], QSocketNotifier::Read, this);
    connect(d_->notifier, &QSocketNotifier::activated, this, [this] {
        unsigned char byte = 0;
        while (::read(d_->pipe[0], &byte, 1) == 1)
            emit terminationRequested(byte);
    });
}

TerminationSignals::~TerminationSignals() {
    if (d_->installed) {
        for (std::size_t i = 0; i < std::size(kSignals); ++i)
            sigaction(kSignals[i], &d_->previous[i], nullptr);
        writeEnd.store(-1);
    }
    delete d_->notifier;
    for (int fd : d_->pipe)
        if (fd >= 0)
            ::close(fd);
}

bool TerminationSignals::isActive() const {
    return d_->installed;
}

} // namespace kestrune::platform
