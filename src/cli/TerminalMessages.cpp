#include "cli/TerminalMessages.h"

#include "cli/Console.h"
#include "platform/Terminal.h"

namespace kestrune::cli {

TerminalMessageService::TerminalMessageService(Console& console) : console_(console) {}

int TerminalMessageService::show(const platform::MessageRequest& request) {
    if ((request.style & 0xF) == platform::MB_YESNO_STYLE)
        return ask(request);
    console_.message(request.text);
    return platform::ID_OK;
}

int TerminalMessageService::ask(const platform::MessageRequest& request) {
    if (assumeYes_)
        return platform::ID_YES;
    if (!platform::isTerminal(stdin)) {
        console_.message(request.text);
        console_.message(answers_.noTerminal);
        return platform::ID_NO;
    }
    const std::optional<QString> answer = console_.ask(request.text + u' ' + answers_.prompt);
    // The end of the input is no answer, and no answer is never a yes.
    if (!answer) {
        console_.message(QString()); // the prompt's line ends here
        return platform::ID_NO;
    }
    const QString given = answer->trimmed();
    if (given.isEmpty())
        return (request.style & platform::MB_DEFBUTTON2_STYLE) ? platform::ID_NO : platform::ID_YES;
    for (const QString& yes : answers_.yes)
        if (given.compare(yes.trimmed(), Qt::CaseInsensitive) == 0)
            return platform::ID_YES;
    return platform::ID_NO;
}

} // namespace kestrune::cli
