#pragma once

#include <QString>
#include <cstdio>
#include <optional>

namespace kestrune::platform {

// Whether a person is there: the stream is a terminal.
bool isTerminal(std::FILE* stream);
// The width of the terminal the stream writes to, in columns; 0 when it is none or does
// not say.
int terminalColumns(std::FILE* stream);
// One line typed on standard input, without its line end; nothing once the input has ended.
std::optional<QString> readInputLine();
// A reader that went away (a closed pipe, a closed terminal) must not end the program
// while its jobs run: writes to it fail instead.
void ignoreClosedOutput();

} // namespace kestrune::platform
