// How the window starts from a terminal: without a display it says where to erase instead,
// and its trace lines come only when asked for.
#include "TestSupport.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <csignal>
#include <gtest/gtest.h>

namespace {

QProcessEnvironment windowEnvironment(const QTemporaryDir& folder) {
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM", "SUDO_UID",
                             "PKEXEC_UID", "DOAS_USER", "DBUS_SESSION_BUS_ADDRESS"})
        environment.remove(QString::fromLatin1(name));
    environment.insert(QStringLiteral("KESTRUNE_REGISTRY_DIR"), folder.path());
    environment.insert(QStringLiteral("XDG_CONFIG_HOME"), folder.path());
    environment.insert(QStringLiteral("XDG_DATA_HOME"), folder.path());
    environment.insert(QStringLiteral("KESTRUNE_SIMULATED_DISKS"), folder.path());
    return environment;
}

QString window() {
    return kestrune::test::binDir() + QStringLiteral("/kestrune");
}

} // namespace

TEST(WindowStart, WithoutADisplayItSaysSoNamesTheTerminalProgramAndEndsWithOne) {
    struct Case {
        const char* what;
        std::vector<std::pair<const char*, const char*>> environment;
    };
    const Case cases[] = {
        {"no display named", {}},
        {"a display nobody serves", {{"QT_QPA_PLATFORM", "xcb"}, {"DISPLAY", ":97"}}},
    };
    for (const Case& c : cases) {
        QTemporaryDir folder;
        QProcessEnvironment environment = windowEnvironment(folder);
        for (const auto& [name, value] : c.environment)
            environment.insert(QString::fromLatin1(name), QString::fromLatin1(value));
        QProcess process;
        process.setProcessEnvironment(environment);
        process.start(window(), {});
        ASSERT_TRUE(process.waitForFinished(30000)) << c.what;
        const QString errors = QString::fromLocal8Bit(process.readAllStandardError());
        EXPECT_EQ(process.exitStatus(), QProcess::NormalExit)
            << c.what << ": " << errors.toStdString();
        EXPECT_EQ(process.exitCode(), 1) << c.what;
        EXPECT_TRUE(errors.contains(QStringLiteral("no display")) &&
                    errors.contains(QStringLiteral("kestrune-cli")))
            << c.what << ": " << errors.toStdString();
        EXPECT_TRUE(process.readAllStandardOutput().isEmpty()) << c.what;
    }
}

TEST(WindowStart, TraceLinesOnlyWithTrace) {
    for (const bool trace : {true, false}) {
        QTemporaryDir folder;
        QProcessEnvironment environment = windowEnvironment(folder);
        environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        QProcess process;
        process.setProcessEnvironment(environment);
        process.start(window(), trace ? QStringList{QStringLiteral("--trace")} : QStringList{});
        ASSERT_TRUE(process.waitForStarted());
        const QString output = QStringLiteral("/proc/%1/fd/1").arg(process.processId());
        QByteArray seen;
        // The window is up once its language is chosen; without --trace, once standard
        // output leads nowhere.
        const bool up = QTest::qWaitFor(
            [&] {
                if (!trace)
                    return QFile::symLinkTarget(output) == QLatin1String("/dev/null");
                seen += process.readAllStandardOutput();
                return seen.contains("VSKGetCurrentLanguage");
            },
            30000);
        EXPECT_TRUE(up) << (trace ? "no trace line came" : "standard output was kept");
        ::kill(static_cast<pid_t>(process.processId()), SIGTERM);
        ASSERT_TRUE(process.waitForFinished(30000));
        seen += process.readAllStandardOutput();
        if (trace)
            EXPECT_TRUE(seen.contains("VSKGetCurrentLanguage")) << seen.toStdString();
        else
            EXPECT_TRUE(seen.isEmpty()) << seen.toStdString();
    }
}
