#pragma once

#include "base/UserFiles.h"

#include <QByteArray>
#include <QString>

namespace kestrune::platform {

enum class ExclusiveCreation { Created, NameTaken, Failed };

// Creates the file with these bytes only if no file of that name exists yet, and makes
// them durable. A file that could not be written whole and made durable is removed again,
// so Failed leaves nothing behind and NameTaken means another file really has the name.
// The folder must exist; the file is written with the rights its folder calls for.
ExclusiveCreation
CreateFileExclusively(const QString& path, const QByteArray& bytes,
                      FileFolder::Rights rights = FileFolder::Rights::ForTheFolder);

// Puts a whole new file with these bytes in the place of the file at path (or where none
// is yet): the old file stays as it was unless the new one is complete and durable. A file
// it replaces keeps its mode. Empty, or why it failed; *replaced tells whether a file was
// there before.
QString ReplaceFileWhole(const QString& path, const QByteArray& bytes, FileFolder::Rights rights,
                         bool* replaced = nullptr);

// A regular file opened for reading with the rights its folder calls for, never through a
// link planted in its place and never waiting on a pipe. -1 (errno set) for anything else.
int OpenRegularFileForReading(const QString& path);

} // namespace kestrune::platform
