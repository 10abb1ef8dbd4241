#include "app/ProgramLibraries.h"

#include <QStringList>
#include <QtGlobal>
#include <openssl/crypto.h>

namespace kestrune {

QList<platform::LibraryVersion> ProgramLibraries() {
    QList<platform::LibraryVersion> libraries{
        {QStringLiteral("Qt"), QString::fromLatin1(qVersion())},
        {QStringLiteral("OpenSSL"), QString::fromLatin1(OpenSSL_version(OPENSSL_VERSION_STRING))},
    };
    libraries.append(platform::SystemLibraryVersions());
    return libraries;
}

QString ProgramLibrariesText() {
    QStringList parts;
    for (const platform::LibraryVersion& library : ProgramLibraries())
        parts << (library.version.isEmpty() ? library.name : library.name + u' ' + library.version);
    return parts.join(QStringLiteral(", "));
}

} // namespace kestrune
