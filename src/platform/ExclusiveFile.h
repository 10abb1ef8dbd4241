#pragma once

#include <QByteArray>
#include <QString>

namespace kestrune::platform {

// Creates the file with these bytes only if no file of that name exists yet, and makes
// them durable; a failed write leaves no file behind. False when the name was taken or the
// file could not be written.
bool CreateFileExclusively(const QString& path, const QByteArray& bytes);

} // namespace kestrune::platform
