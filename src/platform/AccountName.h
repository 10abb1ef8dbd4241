#pragma once

#include <QString>

namespace kestrune::platform {

// The account a job is done for: the invoking user when root acts for a user through sudo or
// pkexec, else the account that runs the program.
struct AccountName {
    QString login;
    QString fullName; // from the password database; empty when it names none
};
AccountName JobAccount();

// The full name in a password database's comment field: its first comma-separated part,
// with "&" standing for the login capitalised.
QString FullNameFromGecos(const QString& gecos, const QString& login);

} // namespace kestrune::platform
