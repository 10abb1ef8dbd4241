// Root working for a user takes no bus address from the user's environment: a D-Bus
// address may name a program to run.
#include "TestUser.h"
#include "platform/linux/DesktopBuses.h"

#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

using namespace kestrune;

TEST(DesktopBusForAUser, ASessionAddressFromTheEnvironmentRunsNothing) {
    test::SudoingTestUser user;
    if (!user.unavailable().isEmpty())
        GTEST_SKIP() << user.unavailable().toStdString();
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString ran = dir.filePath(QStringLiteral("ran"));
    const QByteArray previous = qgetenv("DBUS_SESSION_BUS_ADDRESS");
    qputenv("DBUS_SESSION_BUS_ADDRESS",
            "unixexec:path=/usr/bin/touch,argv0=touch,argv1=" + QFile::encodeName(ran));
    {
        platform::DesktopBus bus(platform::DesktopBus::Kind::Session);
        EXPECT_FALSE(bus.isConnected());
    }
    qputenv("DBUS_SESSION_BUS_ADDRESS", previous);
    EXPECT_FALSE(QFile::exists(ran)) << "root ran the program the user's address named";
}
