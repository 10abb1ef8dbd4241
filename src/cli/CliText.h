#pragma once

#include "lang/TextPlaceholders.h"

#include <QString>
#include <QStringList>

namespace kestrune::cli {

// A text of the language component in the user's language; empty when there is none.
QString cliText(const char* key);

} // namespace kestrune::cli
