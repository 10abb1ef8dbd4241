#pragma once

#include <QString>

namespace kestrune::test {

// Makes the language with this code the user's choice for the next language manager.
void chooseLanguage(const QString& code);

} // namespace kestrune::test
