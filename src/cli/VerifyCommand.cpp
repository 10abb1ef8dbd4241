#include "cli/VerifyCommand.h"

#include "cli/Console.h"
#include "cli/ExitCodes.h"
#include "shred/RecordCheck.h"

namespace kestrune::cli {

int runVerifyCommand(Console& console, const QString& file) {
    bool allHold = true;
    for (const RecordCheck& check : checkRecord(file)) {
        console.print((check.holds ? QStringLiteral("holds: ") : QStringLiteral("FAILS: ")) +
                      check.line);
        allHold = allHold && check.holds;
    }
    return allHold ? ExitSuccess : ExitNotVerified;
}

} // namespace kestrune::cli
