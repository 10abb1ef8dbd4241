#pragma once

#include <QByteArray>
#include <QString>

namespace kestrune::platform {

enum class SigningFile { Certificate, Key };

struct SigningFileRead {
    QByteArray bytes;
    QString problem; // empty when the bytes may be used; else why not, naming the file
};

// A signing certificate or private key named in the settings. As root, the file counts only
// where root alone can change it and every folder above it; a key is read only where no one
// but its owner and group can read it. Never through a link, never waiting on a pipe.
SigningFileRead ReadSigningFile(const QString& path, SigningFile kind);

} // namespace kestrune::platform
