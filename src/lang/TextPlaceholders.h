#pragma once

#include <QString>
#include <QStringList>

namespace kestrune {

// Fills each "%s" of a language text with the next argument, in order; "%%" is one '%' and
// every other '%' stays as it stands, so a text can never read what is not there.
QString FillPlaceholders(const QString& format, const QStringList& arguments);

} // namespace kestrune
