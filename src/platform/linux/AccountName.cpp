#include "platform/AccountName.h"

#include "base/InvokingUser.h"

#include <QFile>
#include <cerrno>
#include <pwd.h>
#include <unistd.h>
#include <vector>

namespace kestrune::platform {

AccountName JobAccount() {
    const std::optional<InvokingUser> elevated = ElevatedFor();
    const uid_t uid = elevated ? elevated->uid : ::getuid();
    long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(size > 0 ? size_t(size) : 16384);
    passwd entry{};
    passwd* found = nullptr;
    while (::getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found) == ERANGE)
        buffer.resize(buffer.size() * 2);
    AccountName account;
    if (!found || !found->pw_name) {
        // An account the database does not know is still named, by its number.
        account.login = QStringLiteral("uid %1").arg(uid);
        return account;
    }
    account.login = QFile::decodeName(found->pw_name);
    if (found->pw_gecos)
        account.fullName = FullNameFromGecos(QString::fromUtf8(found->pw_gecos), account.login);
    return account;
}

} // namespace kestrune::platform
