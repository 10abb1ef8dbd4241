#include "cli/ListCommand.h"

#include "cli/CliText.h"
#include "cli/Console.h"
#include "cli/DiskListing.h"
#include "cli/DiskScan.h"
#include "cli/ExitCodes.h"

namespace kestrune::cli {

int runListCommand(Console& console, bool json) {
    const DiskScan scan = DiskScan::run();
    if (scan.failed()) {
        console.message(cliText("cli_disks_unreadable"));
        return ExitProgramFailure;
    }
    if (json) {
        console.printJson(disksAsJson(scan.disks()));
        return ExitSuccess;
    }
    if (scan.disks().empty()) {
        console.message(cliText("cli_no_disks"));
        return ExitSuccess;
    }
    for (const QString& line : disksAsTable(scan.disks()))
        console.print(line);
    return ExitSuccess;
}

} // namespace kestrune::cli
