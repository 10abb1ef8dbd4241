#pragma once

#include "platform/MessageService.h"

#include <QStringList>

namespace kestrune::cli {

class Console;

// The message boxes of a terminal program: a box is a message on standard error, and a
// yes/no question is answered by --yes, asked on the terminal, or answered No when nobody
// is there to answer it.
class TerminalMessageService final : public platform::MessageService {
public:
    struct Answers {
        QString prompt;     // shown after the question: "[y/N]"
        QStringList yes;    // what counts as yes, compared without case: "y", "yes"
        QString noTerminal; // said when no terminal can answer
    };
    explicit TerminalMessageService(Console& console);

    void setAnswers(Answers answers) { answers_ = std::move(answers); }
    void setAssumeYes(bool yes) { assumeYes_ = yes; }
    int show(const platform::MessageRequest& request) override;

private:
    int ask(const platform::MessageRequest& request);

    Console& console_;
    Answers answers_;
    bool assumeYes_ = false;
};

} // namespace kestrune::cli
