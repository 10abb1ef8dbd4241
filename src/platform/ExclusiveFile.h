#pragma once

#include <QByteArray>
#include <QString>

namespace kestrune::platform {

enum class ExclusiveCreation { Created, NameTaken, Failed };

// Creates the file with these bytes only if no file of that name exists yet, and makes
// them durable. A file that could not be written whole and made durable is removed again,
// so Failed leaves nothing behind and NameTaken means another file really has the name.
ExclusiveCreation CreateFileExclusively(const QString& path, const QByteArray& bytes);

} // namespace kestrune::platform
