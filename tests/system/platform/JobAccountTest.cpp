// Who a certificate names as the operator when root acts for a user: that user, by the full
// name the password database gives it.
#include "TestUser.h"
#include "platform/AccountName.h"

#include <QProcess>
#include <QThread>
#include <gtest/gtest.h>
#include <pwd.h>
#include <unistd.h>

using namespace kestrune;

TEST(JobAccount, RootActingForAUserNamesThatUser) {
    test::SudoingTestUser user;
    if (!user.unavailable().isEmpty())
        GTEST_SKIP() << user.unavailable().toStdString();
    const passwd* entry = ::getpwuid(user.uid());
    ASSERT_NE(entry, nullptr);
    const QString login = QString::fromLocal8Bit(entry->pw_name);
    // usermod locks the password files as useradd does; another test may hold them.
    bool named = false;
    for (int attempt = 0; attempt < 50 && !named; ++attempt) {
        named = QProcess::execute(QStringLiteral("usermod"),
                                  {QStringLiteral("--comment"),
                                   QStringLiteral("Kestrune Tester,Room 4,,"), login}) == 0;
        if (!named)
            QThread::msleep(200);
    }
    ASSERT_TRUE(named) << "usermod could not name the test user";

    platform::AccountName account = platform::JobAccount();
    EXPECT_EQ(account.login, login);
    EXPECT_EQ(account.fullName, QStringLiteral("Kestrune Tester"));

    // Root on its own does the job itself.
    qunsetenv("SUDO_UID");
    qunsetenv("SUDO_GID");
    account = platform::JobAccount();
    EXPECT_EQ(account.login, QStringLiteral("root"));
}
