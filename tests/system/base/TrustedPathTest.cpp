// Which paths root, working for a user, lets decide what it loads, runs or writes: only
// those that root alone can change, along their whole length.
#include "base/TrustedPath.h"
#include "RealDisks.h"
#include "TestPaths.h"
#include "TestUser.h"
#include "base/InvokingUser.h"
#include "base/SettingsPlace.h"

#include <QDir>
#include <QFile>
#include <QLibraryInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace kestrune;

namespace {

std::string reason(const QString& path) {
    return platform::UntrustedPathReason(QFile::encodeName(path).toStdString());
}

class TrustedPathTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (::geteuid() != 0)
            GTEST_SKIP() << "needs root: the paths must belong to root";
        // A folder of root's below the sticky /tmp, as QTemporaryDir makes it.
        ASSERT_TRUE(base_.isValid());
        ASSERT_EQ(reason(base_.path()), "") << base_.path().toStdString();
        roots_ = folder("roots", 0755);
        library_ = roots_ + "/library.so";
        QFile file(library_);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.close();
        ASSERT_EQ(::chmod(QFile::encodeName(library_).constData(), 0644), 0);
    }
    QString folder(const char* name, mode_t mode, uid_t owner = 0) const {
        const QString path = base_.filePath(QString::fromLatin1(name));
        EXPECT_TRUE(QDir().mkpath(path));
        EXPECT_EQ(::chmod(QFile::encodeName(path).constData(), mode), 0);
        EXPECT_EQ(::chown(QFile::encodeName(path).constData(), owner, owner), 0);
        return path;
    }

    static constexpr uid_t kOther = 54321;
    QTemporaryDir base_;
    QString roots_;
    QString library_;
};

} // namespace

TEST_F(TrustedPathTest, RootsOwnPathsBelowTheStickyTmpAreTrusted) {
    EXPECT_EQ(reason(roots_), "");
    EXPECT_EQ(reason(library_), "");
    EXPECT_EQ(reason(roots_ + "/./../roots/library.so"), "");
    // Only root can create what is not there yet below a folder only root may write to.
    EXPECT_EQ(reason(roots_ + "/not/there/yet"), "");

    // The sticky /tmp itself, or a name anyone could still take there, is not.
    EXPECT_NE(reason(QStringLiteral("/tmp")), "");
    const std::string free = reason(QStringLiteral("/tmp/kestrune-nothing-%1").arg(::getpid()));
    EXPECT_NE(free.find("others than root may create it"), std::string::npos) << free;
}

TEST_F(TrustedPathTest, WhatOthersCanChangeIsNamedWithTheReason) {
    for (mode_t mode : {mode_t(0775), mode_t(0757)}) {
        ASSERT_EQ(::chmod(QFile::encodeName(roots_).constData(), mode), 0);
        const std::string why = reason(library_);
        EXPECT_NE(why.find(QFile::encodeName(roots_).toStdString() +
                           " can be changed by others than root"),
                  std::string::npos)
            << why;
    }
    // Sticky, others cannot touch root's entry; the folder itself is anyone's to fill.
    ASSERT_EQ(::chmod(QFile::encodeName(roots_).constData(), 01777), 0);
    EXPECT_EQ(reason(library_), "");
    EXPECT_NE(reason(roots_).find("(mode 1777)"), std::string::npos);
    ASSERT_EQ(::chmod(QFile::encodeName(roots_).constData(), 0755), 0);
    ASSERT_EQ(::chmod(QFile::encodeName(library_).constData(), 0646), 0);
    EXPECT_NE(reason(library_).find("(mode 0646)"), std::string::npos);

    const QString others = folder("others", 0755, kOther);
    EXPECT_EQ(reason(others + "/below"),
              QFile::encodeName(others).toStdString() + " belongs to user 54321, not to root");
    EXPECT_NE(reason(others), "");
}

TEST_F(TrustedPathTest, LinksAreFollowedOnlyWhereRootAlonePlacedThem) {
    const QString links = folder("links", 0755);
    ASSERT_TRUE(QFile::link(roots_, links + "/to-roots"));
    EXPECT_EQ(reason(links + "/to-roots/library.so"), "");

    // Root's own link, but to a folder another user can change.
    const QString others = folder("others", 0755, kOther);
    ASSERT_TRUE(QFile::link(others, links + "/to-others"));
    EXPECT_NE(reason(links + "/to-others").find("belongs to user 54321"), std::string::npos);

    // A link of another user's, or one in a folder others may write to, is never followed.
    ASSERT_TRUE(QFile::link(roots_, links + "/theirs"));
    ASSERT_EQ(::lchown(QFile::encodeName(links + "/theirs").constData(), kOther, kOther), 0);
    EXPECT_NE(reason(links + "/theirs/library.so").find("is a link that another user could"),
              std::string::npos);
    ASSERT_TRUE(QFile::link(roots_, others + "/planted"));
    EXPECT_NE(reason(others + "/planted/library.so"), "");
}

TEST(ElevatedEnvironment, WhatCouldMakeRootLoadOrRunAUsersFilesIsDropped) {
    test::SudoingTestUser user;
    if (!user.unavailable().isEmpty())
        GTEST_SKIP() << user.unavailable().toStdString();
    const QString home = user.home();
    const QString plugins = QLibraryInfo::path(QLibraryInfo::PluginsPath);
    test::ScopedEnvironment pluginPath("QT_PLUGIN_PATH",
                                       QFile::encodeName(home + "/plugins:" + plugins));
    test::ScopedEnvironment platformPath("QT_QPA_PLATFORM_PLUGIN_PATH",
                                         QFile::encodeName(plugins + "/platforms"));
    test::ScopedEnvironment temporary("TMPDIR", QFile::encodeName(home));
    test::ScopedEnvironment path("PATH", QFile::encodeName(home + "/bin:/usr/bin::/bin:bin"));
    ASSERT_TRUE(platform::SettleElevatedEnvironment());
    EXPECT_FALSE(qEnvironmentVariableIsSet("QT_PLUGIN_PATH"));
    EXPECT_FALSE(qEnvironmentVariableIsSet("TMPDIR"));
    EXPECT_EQ(qgetenv("QT_QPA_PLATFORM_PLUGIN_PATH"), QFile::encodeName(plugins + "/platforms"))
        << "a folder of root's alone stays";
    EXPECT_EQ(qgetenv("PATH"), QByteArray("/usr/bin:/bin"));

    // The program's own variables are not dropped but refused: the program does not start.
    for (const char* variable : {"KESTRUNE_REGISTRY_DIR", "KESTRUNE_SIMULATED_DISKS"}) {
        test::ScopedEnvironment users(variable, QFile::encodeName(home));
        EXPECT_FALSE(platform::SettleElevatedEnvironment()) << variable;
        const platform::EnvironmentPath checked = platform::TrustedEnvironmentPath(variable);
        EXPECT_TRUE(checked.set);
        EXPECT_EQ(checked.refusal.rfind(std::string("Kestrune: ") + variable + "=" +
                                            QFile::encodeName(home).toStdString() + " refused: ",
                                        0),
                  0u)
            << checked.refusal;
        EXPECT_NE(checked.refusal.find("belongs to user"), std::string::npos) << checked.refusal;
    }
}

TEST(ElevatedEnvironment, TheCommandLineRefusesToStartOnAUsersRegistryFolder) {
    test::SudoingTestUser user;
    if (!user.unavailable().isEmpty())
        GTEST_SKIP() << user.unavailable().toStdString();
    QProcess program;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("KESTRUNE_REGISTRY_DIR"), user.home());
    program.setProcessEnvironment(environment);
    program.start(test::binDir() + QStringLiteral("/kestrune-cli"), {QStringLiteral("list")});
    ASSERT_TRUE(program.waitForFinished(60000));
    EXPECT_EQ(program.exitCode(), 1);
    const QString errors = QString::fromUtf8(program.readAllStandardError());
    EXPECT_TRUE(
        errors.contains(QStringLiteral("KESTRUNE_REGISTRY_DIR=%1 refused").arg(user.home())))
        << errors.toStdString();
    EXPECT_TRUE(QDir(user.home()).isEmpty()) << "nothing was written there";
}

TEST_F(TrustedPathTest, RootTakesTheMachineHiveOnlyFromFilesRootAloneCanChange) {
    test::ScopedEnvironment registry("KESTRUNE_REGISTRY_DIR", QFile::encodeName(roots_));
    const QString hive = roots_ + "/machine.reg";
    QFile file(hive);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.close();
    const QByteArray hivePath = QFile::encodeName(hive);
    const QByteArray folderPath = QFile::encodeName(roots_);
    ASSERT_EQ(::chmod(hivePath.constData(), 0644), 0);
    EXPECT_FALSE(platform::MachineHiveFile().refused);

    struct Case {
        const char* what;
        uid_t hiveOwner;
        mode_t hiveMode;
        uid_t folderOwner;
        mode_t folderMode;
        const char* reason;
    };
    const Case cases[] = {
        {"a user's hive", kOther, 0644, 0, 0755, "belongs to user 54321"},
        {"a hive the group may write", 0, 0664, 0, 0755, "can be changed by others than root"},
        {"a hive anyone may write", 0, 0646, 0, 0755, "can be changed by others than root"},
        {"in a user's folder", 0, 0644, kOther, 0755, "belongs to user 54321"},
        {"in a folder the group may write", 0, 0644, 0, 0775, "can be changed by others"},
    };
    for (const Case& c : cases) {
        ASSERT_EQ(::chown(hivePath.constData(), c.hiveOwner, c.hiveOwner), 0);
        ASSERT_EQ(::chmod(hivePath.constData(), c.hiveMode), 0);
        ASSERT_EQ(::chown(folderPath.constData(), c.folderOwner, c.folderOwner), 0);
        ASSERT_EQ(::chmod(folderPath.constData(), c.folderMode), 0);
        EXPECT_TRUE(platform::MachineHiveFile().refused) << c.what;
        const std::string refusal =
            platform::RootSettingsFileRefusal(hivePath.toStdString(), "the machine hive");
        EXPECT_EQ(refusal.rfind(
                      "Kestrune: the machine hive " + hivePath.toStdString() + " is not used", 0),
                  0u)
            << c.what << ": " << refusal;
        EXPECT_NE(refusal.find(c.reason), std::string::npos) << c.what << ": " << refusal;
    }
    ASSERT_EQ(::chown(folderPath.constData(), 0, 0), 0);
    ASSERT_EQ(::chmod(folderPath.constData(), 0755), 0);
}

TEST(ElevatedEnvironment, TheCommandLineKeepsOnlyAKnownEnvironment) {
    test::SudoingTestUser user;
    if (!user.unavailable().isEmpty())
        GTEST_SKIP() << user.unavailable().toStdString();
    QTemporaryDir roots;
    const QString marker = roots.filePath(QStringLiteral("bus-ran-this"));
    const QString keyLog = roots.filePath(QStringLiteral("keys.log"));
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
        environment.remove(QString::fromLatin1(name));
    environment.insert(QStringLiteral("KESTRUNE_REGISTRY_DIR"), roots.path());
    environment.insert(QStringLiteral("KESTRUNE_SIMULATED_DISKS"), roots.path());
    environment.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"),
                       QStringLiteral("unixexec:path=/usr/bin/touch,argv1=") + marker);
    environment.insert(QStringLiteral("OPENSSL_CONF"), user.home() + "/openssl.cnf");
    environment.insert(QStringLiteral("SSLKEYLOGFILE"), keyLog);
    environment.insert(QStringLiteral("LANG"), QStringLiteral("C.UTF-8"));
    environment.insert(QStringLiteral("TERM"), QStringLiteral("dumb"));
    environment.insert(QStringLiteral("COLUMNS"), QStringLiteral("99"));
    QProcess program;
    program.setProcessEnvironment(environment);
    program.start(test::binDir() + QStringLiteral("/kestrune-cli"),
                  {QStringLiteral("--trace"), QStringLiteral("list")});
    ASSERT_TRUE(program.waitForFinished(60000));
    const QString errors = QString::fromUtf8(program.readAllStandardError());
    const qsizetype at = errors.indexOf(QStringLiteral("dropped: "));
    ASSERT_GE(at, 0) << errors.toStdString();
    const QStringList dropped =
        errors.mid(at + 9).section(u'\n', 0, 0).split(u' ', Qt::SkipEmptyParts);
    for (const char* name : {"DBUS_SESSION_BUS_ADDRESS", "OPENSSL_CONF", "SSLKEYLOGFILE"})
        EXPECT_TRUE(dropped.contains(QString::fromLatin1(name))) << name;
    for (const char* name : {"LANG", "TERM", "COLUMNS", "SUDO_UID", "KESTRUNE_REGISTRY_DIR",
                             "KESTRUNE_SIMULATED_DISKS", "PATH"})
        EXPECT_FALSE(dropped.contains(QString::fromLatin1(name))) << name;
    EXPECT_EQ(program.exitCode(), 0) << errors.toStdString();
    EXPECT_FALSE(QFileInfo::exists(marker));
    EXPECT_FALSE(QFileInfo::exists(keyLog));
}
