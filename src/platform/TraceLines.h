#pragma once

#include <cstdio>

namespace kestrune::platform {

// The program's trace lines, and those of the components it loads, go to standard output.
// A terminal program whose own output is standard output moves them aside: from then on the
// process's standard output is the null device (or standard error when traces are wanted),
// and the returned stream writes to where standard output went before. Standard output
// itself when the descriptors could not be moved.
std::FILE* divertTraceLines(bool toStandardError);

} // namespace kestrune::platform
