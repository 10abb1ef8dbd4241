#pragma once

#include <QString>
#include <QStringList>

namespace kestrune::cli {

// A text of the language component in the user's language; empty when there is none.
QString cliText(const char* key);
// Fills each "%s" of a language text with the next argument, in order; "%%" is one '%'
// and every other '%' stays as it stands, so a text can never read what is not there.
QString fillText(const QString& format, const QStringList& arguments);

} // namespace kestrune::cli
