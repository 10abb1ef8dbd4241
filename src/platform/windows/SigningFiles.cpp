#include "platform/SigningFiles.h"

#include "base/TrustedPath.h"
#include "platform/windows/FileCalls.h"

namespace kestrune::platform {
namespace {

using windows_impl::errorText;

// A PEM file holds a key or a short chain; anything larger is not what was meant.
constexpr LONGLONG kMaxSigningFileSize = 1 << 20;

struct BroadGroup {
    WELL_KNOWN_SID_TYPE type;
    const char* name;
};

// Groups that every other user, or anybody at all, belongs to.
constexpr BroadGroup kBroadGroups[] = {
    {WinWorldSid, "Everyone"},
    {WinAuthenticatedUserSid, "Authenticated Users"},
    {WinBuiltinUsersSid, "Users"},
    {WinInteractiveSid, "INTERACTIVE"},
    {WinNetworkSid, "NETWORK"},
    {WinBuiltinGuestsSid, "Guests"},
    {WinAnonymousSid, "ANONYMOUS LOGON"},
};

constexpr ACCESS_MASK kReading = FILE_READ_DATA | GENERIC_READ | GENERIC_ALL | MAXIMUM_ALLOWED;

const char* broadGroupOf(PSID sid) {
    for (const BroadGroup& group : kBroadGroups) {
        if (::IsWellKnownSid(sid, group.type))
            return group.name;
    }
    return nullptr;
}

QByteArray readAll(const FileCalls& calls, HANDLE file, LONGLONG size, bool* ok) {
    QByteArray bytes(qsizetype(size), '\0');
    qsizetype done = 0;
    while (done < bytes.size()) {
        DWORD got = 0;
        if (!calls.readFile(file, bytes.data() + done, DWORD(bytes.size() - done), &got, nullptr)) {
            *ok = false;
            return {};
        }
        if (got == 0)
            break;
        done += got;
    }
    bytes.resize(done);
    *ok = true;
    return bytes;
}

// Why a key may not be used: readable by others than its owner and the administration.
QString keyExposure(const FileCalls& calls, HANDLE file) {
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    const DWORD error = calls.securityInfo(file, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                                           nullptr, &dacl, nullptr, &descriptor);
    if (error != ERROR_SUCCESS)
        return QStringLiteral("has rights that cannot be read: %1").arg(errorText(error));
    const QString reader = broadReaderOf(dacl);
    ::LocalFree(descriptor);
    if (reader.isEmpty())
        return {};
    return QStringLiteral("is readable by others than its owner (%1 may read it)").arg(reader);
}

} // namespace

// As the system's access check walks the list for a user of those groups: an entry that
// denies reading to Everyone stops every one of them; one that grants it to any of them
// lets them all in. Denials for a narrower group count for nobody here, since a user
// outside it could still read.
QString broadReaderOf(const ACL* dacl) {
    if (!dacl)
        return QStringLiteral("Everyone");
    ACCESS_MASK denied = 0;
    for (DWORD i = 0; i < dacl->AceCount; ++i) {
        void* entry = nullptr;
        if (!::GetAce(const_cast<ACL*>(dacl), i, &entry))
            continue;
        const auto* header = static_cast<const ACE_HEADER*>(entry);
        if (header->AceFlags & INHERIT_ONLY_ACE)
            continue;
        if (header->AceType == ACCESS_DENIED_ACE_TYPE) {
            const auto* ace = static_cast<const ACCESS_DENIED_ACE*>(entry);
            if (::IsWellKnownSid(PSID(&ace->SidStart), WinWorldSid))
                denied |= ace->Mask;
        } else if (header->AceType == ACCESS_ALLOWED_ACE_TYPE) {
            const auto* ace = static_cast<const ACCESS_ALLOWED_ACE*>(entry);
            const char* group = broadGroupOf(PSID(&ace->SidStart));
            const bool deniedReading = (denied & (FILE_READ_DATA | GENERIC_READ | GENERIC_ALL));
            if (group && (ace->Mask & kReading) && !deniedReading)
                return QString::fromLatin1(group);
        }
    }
    return {};
}

SigningFileRead ReadSigningFile(const QString& path, SigningFile kind) {
    const FileCalls& calls = systemFileCalls();
    const bool key = kind == SigningFile::Key;
    const QString role = key ? QStringLiteral("the signing key file")
                             : QStringLiteral("the signing certificate file");
    auto refuse = [&](const QString& why) {
        return SigningFileRead{{}, QStringLiteral("%1 %2 %3").arg(role, path, why)};
    };
    if (path.isEmpty())
        return SigningFileRead{{}, QStringLiteral("%1 is not named in the settings").arg(role)};
    const std::string refusal = RootSettingsFileRefusal(
        path.toUtf8().toStdString(), key ? "the signing key file" : "the signing certificate file");
    if (!refusal.empty())
        return refuse(QStringLiteral("is refused: %1").arg(QString::fromStdString(refusal)));
    DWORD error = 0;
    HANDLE file = openRegularFile(calls, path, &error, GENERIC_READ | READ_CONTROL);
    if (file == INVALID_HANDLE_VALUE) {
        if (error == ERROR_CANT_RESOLVE_FILENAME)
            return refuse(QStringLiteral("is a link, which is not followed"));
        if (error == ERROR_CANT_ACCESS_FILE)
            return refuse(QStringLiteral("is not a regular file"));
        return refuse(QStringLiteral("cannot be read: %1").arg(errorText(error)));
    }
    SigningFileRead read;
    FILE_STANDARD_INFO standard{};
    const QString exposure = key ? keyExposure(calls, file) : QString();
    bool ok = false;
    if (!exposure.isEmpty()) {
        // Whoever else can read it can sign in the organisation's name.
        read = refuse(exposure);
    } else if (!calls.fileInformationEx(file, FileStandardInfo, &standard, sizeof standard)) {
        read = refuse(QStringLiteral("cannot be read: %1").arg(errorText(calls.lastError())));
    } else if (standard.EndOfFile.QuadPart > kMaxSigningFileSize) {
        read = refuse(QStringLiteral("is larger than a key or certificate file can be"));
    } else {
        read.bytes = readAll(calls, file, standard.EndOfFile.QuadPart, &ok);
        if (!ok || read.bytes.isEmpty())
            read = refuse(QStringLiteral("cannot be read"));
    }
    calls.closeHandle(file);
    return read;
}

} // namespace kestrune::platform
