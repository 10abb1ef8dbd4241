// The window refuses to run as root on behalf of a user, whichever way root came to act for
// one, before it touches the display or a bus.
#include "TestSupport.h"

#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <unistd.h>

using namespace kestrune;

TEST(WindowAsRootForUser, RefusesBeforeTouchingTheSessionWhicheverWayRootActsForAUser) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root: the window is started as root for a user";
    struct Way {
        const char* variable;
        const char* value;
        const char* loginUid; // set in the child before the program runs
    };
    const Way ways[] = {{"SUDO_UID", "1000", nullptr},
                        {"PKEXEC_UID", "1000", nullptr},
                        {"DOAS_USER", "nobody", nullptr},
                        {nullptr, nullptr, "1000"}};
    for (const Way& way : ways) {
        const QString name = QString::fromLatin1(way.variable ? way.variable : "login uid");
        QTemporaryDir folder;
        const QString marker = folder.filePath(QStringLiteral("bus-ran-this"));
        QProcessEnvironment environment;
        environment.insert(QStringLiteral("PATH"), QStringLiteral("/usr/bin:/bin"));
        environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        environment.insert(QStringLiteral("XDG_CONFIG_HOME"), folder.path());
        // A bus address that names a program: whoever connects runs it.
        environment.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"),
                           QStringLiteral("unixexec:path=/usr/bin/touch,argv1=") + marker);
        if (way.variable)
            environment.insert(QString::fromLatin1(way.variable), QString::fromLatin1(way.value));
        QProcess window;
        window.setProcessEnvironment(environment);
        const QString program = test::binDir() + QStringLiteral("/kestrune");
        if (way.loginUid)
            window.start(QStringLiteral("/bin/sh"),
                         {QStringLiteral("-c"),
                          QStringLiteral("echo %1 > /proc/self/loginuid 2>/dev/null || exit 77; "
                                         "exec \"$0\"")
                              .arg(QString::fromLatin1(way.loginUid)),
                          program});
        else
            window.start(program, {});
        if (!window.waitForFinished(20000)) {
            window.kill();
            window.waitForFinished();
            ADD_FAILURE() << name.toStdString() << ": the window started";
            continue;
        }
        if (way.loginUid && window.exitCode() == 77) {
            std::printf("the kernel lets no process set its login uid here: that way untried\n");
            continue;
        }
        const QString errors = QString::fromUtf8(window.readAllStandardError());
        EXPECT_EQ(window.exitCode(), 1) << name.toStdString();
        EXPECT_TRUE(errors.contains(QStringLiteral("does not run as root on behalf of a user")) &&
                    errors.contains(QStringLiteral("through udisks2 and polkit")) &&
                    errors.contains(QStringLiteral("without sudo or pkexec")))
            << name.toStdString() << ": " << errors.toStdString();
        EXPECT_FALSE(QFileInfo::exists(marker)) << name.toStdString();
    }
}
