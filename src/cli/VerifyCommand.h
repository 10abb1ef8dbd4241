#pragma once

#include <QString>

namespace kestrune::cli {

class Console;

// Prints one line per check of the record the file belongs to; ExitSuccess only when every
// check holds, else ExitNotVerified.
int runVerifyCommand(Console& console, const QString& file);

} // namespace kestrune::cli
