// The window refuses to run as root on behalf of a user, whichever way root came to act for
// one, before it touches the display or a bus.
#include "TestSupport.h"

#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <unistd.h>

TEST(WindowAsRootForUser, RefusesBeforeTouchingTheSessionWhicheverWayRootActsForAUser) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root: the window is started as root for a user";
    // A variable and its value, or the login uid the child takes before the program runs.
    const QStringList ways = {QStringLiteral("SUDO_UID=1000"), QStringLiteral("PKEXEC_UID=1000"),
                              QStringLiteral("DOAS_USER=nobody"), QStringLiteral("1000")};
    for (const QString& way : ways) {
        QTemporaryDir folder;
        const QString marker = folder.filePath(QStringLiteral("bus-ran-this"));
        QProcessEnvironment environment;
        environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        environment.insert(QStringLiteral("XDG_CONFIG_HOME"), folder.path());
        // A bus address that names a program: whoever connects runs it.
        environment.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"),
                           QStringLiteral("unixexec:path=/usr/bin/touch,argv1=") + marker);
        if (way.contains(u'='))
            environment.insert(way.section(u'=', 0, 0), way.section(u'=', 1));
        QProcess window;
        window.setProcessEnvironment(environment);
        window.start(
            QStringLiteral("/bin/sh"),
            {QStringLiteral("-c"),
             QStringLiteral("[ -n \"$1\" ] && { echo $1 > /proc/self/loginuid || exit 77; }; "
                            "exec \"$0\""),
             kestrune::test::binDir() + QStringLiteral("/kestrune"),
             way.contains(u'=') ? QString() : way});
        if (!window.waitForFinished(20000)) {
            window.kill();
            window.waitForFinished();
            ADD_FAILURE() << way.toStdString() << ": the window started";
            continue;
        }
        if (window.exitCode() == 77) {
            std::printf("the kernel lets no process set its login uid here: that way untried\n");
            continue;
        }
        const QString errors = QString::fromUtf8(window.readAllStandardError());
        EXPECT_EQ(window.exitCode(), 1) << way.toStdString();
        EXPECT_TRUE(errors.contains(QStringLiteral("does not run as root on behalf of a user")) &&
                    errors.contains(QStringLiteral("through udisks2 and polkit")) &&
                    errors.contains(QStringLiteral("without sudo or pkexec")))
            << way.toStdString() << ": " << errors.toStdString();
        EXPECT_FALSE(QFileInfo::exists(marker)) << way.toStdString();
    }
}
