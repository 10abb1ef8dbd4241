#pragma once

#include "cli/CliArguments.h"

#include <chrono>

namespace kestrune::cli {

class Console;
class TerminalMessageService;

// kestrune-cli shred: the window's scan, its refusals, its jobs and reports, with every
// disk's progress on the terminal.
class ShredCommand {
public:
    ShredCommand(Console& console, TerminalMessageService& messages);
    // The exit status.
    int run(const CliArguments& arguments);
    // Jobs that did not stop within the abort wait: their reports are written as aborted,
    // and the process must end under them.
    bool leftJobsRunning() const { return leftJobsRunning_; }
    // How long an abort waits for the jobs before it gives up on them.
    void setAbortWait(std::chrono::milliseconds wait) { abortWait_ = wait; }

private:
    Console& console_;
    TerminalMessageService& messages_;
    bool leftJobsRunning_ = false;
    std::chrono::milliseconds abortWait_{std::chrono::seconds(60)};
};

} // namespace kestrune::cli
