#pragma once

namespace kestrune {

// Takes the window's own switch, --trace, out of the command line; true when it was there.
bool TakeTraceSwitch(int& argc, char** argv);

// The trace lines of the program and of the components it loads go to standard output:
// kept there when wanted, else sent nowhere. Standard error, where errors go, stays as it is.
void KeepTraceLines(bool wanted);

// Whether the toolkit can be given a display, as far as the environment tells before it
// starts. Without one it says so on standard error, naming kestrune-cli.
bool DisplayAvailable();

// While the toolkit starts: a platform plugin that cannot reach its display ends the program
// with the same words and status 1 instead of an abort. Undone by WindowToolkitStarted.
void ExpectWindowToolkitStart();
void WindowToolkitStarted();

} // namespace kestrune
