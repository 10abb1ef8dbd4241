#pragma once

namespace kestrune::cli {

class Console;

// kestrune-cli list: the disks of the window's scan, as a table or as JSON. The exit status.
int runListCommand(Console& console, bool json);

} // namespace kestrune::cli
