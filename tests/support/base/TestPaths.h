// Where the build under test is, for the tests of every layer.
#pragma once

#include <QString>

namespace kestrune::test {

// The folder the build puts the program and its components in.
QString binDir();
QString sourceDir();

} // namespace kestrune::test
