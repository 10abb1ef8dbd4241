#include "platform/SystemLibraries.h"

#include <blkid/blkid.h>
#include <curl/curl.h>
#include <libfdisk/libfdisk.h>
#include <libmount/libmount.h>

namespace kestrune::platform {

QList<LibraryVersion> SystemLibraryVersions() {
    QList<LibraryVersion> libraries;
    const char* version = nullptr;
    mnt_get_library_version(&version);
    libraries.append({QStringLiteral("libmount"), QString::fromLatin1(version)});
    version = nullptr;
    blkid_get_library_version(&version, nullptr);
    libraries.append({QStringLiteral("libblkid"), QString::fromLatin1(version)});
    version = nullptr;
    fdisk_get_library_version(&version);
    libraries.append({QStringLiteral("libfdisk"), QString::fromLatin1(version)});
    // libudev names no version of its own.
    libraries.append({QStringLiteral("libudev"), QString()});
    const curl_version_info_data* curl = curl_version_info(CURLVERSION_NOW);
    libraries.append(
        {QStringLiteral("libcurl"), curl ? QString::fromLatin1(curl->version) : QString()});
    return libraries;
}

} // namespace kestrune::platform
