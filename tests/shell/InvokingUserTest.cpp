// Started as root through sudo or pkexec, the program leaves the user's own files in the
// user's folders: a real user is created for these tests and removed afterwards.
#include "platform/InvokingUser.h"
#include "LanguageComponent.h"
#include "TestSupport.h"
#include "lang/LanguageManager.h"
#include "platform/Registry.h"
#include "shred/ShredReport.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>
#include <gtest/gtest.h>
#include <optional>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace kestrune;
using platform::RegistryRoot;

namespace {

struct Owner {
    uid_t uid;
    gid_t gid;
};

std::optional<Owner> ownerOf(const QString& path) {
    struct stat info {};
    if (::lstat(QFile::encodeName(path).constData(), &info) != 0)
        return std::nullopt;
    return Owner{info.st_uid, info.st_gid};
}

// useradd and userdel take a lock on the password files; another test may hold it.
bool runUserTool(const QString& tool, const QStringList& args) {
    for (int attempt = 0; attempt < 50; ++attempt) {
        QProcess process;
        process.start(tool, args);
        if (!process.waitForFinished(30000))
            return false;
        if (process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0)
            return true;
        // 1: cannot update the password file (locked); anything else will not get better.
        if (process.exitCode() != 1 && process.exitCode() != 10)
            return false;
        QThread::msleep(200);
    }
    return false;
}

class InvokingUserTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (::geteuid() != 0)
            GTEST_SKIP() << "needs root: the program is started through sudo as root";
        if (userToolPath().isEmpty())
            GTEST_SKIP() << "useradd is not installed";
        name_ = QStringLiteral("kestrune-t%1").arg(::getpid());
        home_ = QDir(base_.path()).filePath(name_);
        if (!runUserTool(QStringLiteral("useradd"),
                         {"--no-create-home", "--home-dir", home_, "--shell", "/usr/sbin/nologin",
                          "--user-group", name_}))
            GTEST_SKIP() << "useradd could not create a test user";
        created_ = true;
        const passwd* entry = ::getpwnam(name_.toLocal8Bit().constData());
        ASSERT_NE(entry, nullptr);
        user_ = Owner{entry->pw_uid, entry->pw_gid};
        ASSERT_TRUE(QDir().mkpath(home_));
        ASSERT_EQ(::chown(QFile::encodeName(home_).constData(), user_.uid, user_.gid), 0);
        ::chmod(QFile::encodeName(home_).constData(), 0700);

        // What sudo -E leaves behind: root's own folders in the environment.
        for (const char* name : {"HOME", "XDG_CONFIG_HOME", "XDG_DATA_HOME",
                                 "KESTRUNE_REGISTRY_DIR", "SUDO_UID", "SUDO_GID", "PKEXEC_UID"})
            saved_.push_back({name, qEnvironmentVariableIsSet(name), qgetenv(name)});
        qputenv("HOME", "/root");
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(rootFolder_.filePath("config")));
        qputenv("XDG_DATA_HOME", QFile::encodeName(rootFolder_.filePath("data")));
        qunsetenv("KESTRUNE_REGISTRY_DIR");
        qunsetenv("PKEXEC_UID");
        qputenv("SUDO_UID", QByteArray::number(user_.uid));
        qputenv("SUDO_GID", QByteArray::number(user_.gid));
    }
    void TearDown() override {
        for (const auto& variable : saved_) {
            if (variable.set)
                qputenv(variable.name, variable.value);
            else
                qunsetenv(variable.name);
        }
        if (created_) {
            runUserTool(QStringLiteral("userdel"), {name_});
            QProcess::execute(QStringLiteral("groupdel"), {name_});
        }
    }
    static QString userToolPath() {
        for (const char* dir : {"/usr/sbin", "/sbin"}) {
            const QString tool = QDir(QString::fromLatin1(dir)).filePath("useradd");
            if (QFile::exists(tool))
                return tool;
        }
        return {};
    }
    void expectUsers(const QString& path) const {
        const auto owner = ownerOf(path);
        ASSERT_TRUE(owner.has_value()) << path.toStdString() << " is missing";
        EXPECT_EQ(owner->uid, user_.uid) << path.toStdString();
        EXPECT_EQ(owner->gid, user_.gid) << path.toStdString();
    }
    static void expectRoots(const QString& path) {
        const auto owner = ownerOf(path);
        ASSERT_TRUE(owner.has_value()) << path.toStdString() << " is missing";
        EXPECT_EQ(owner->uid, 0u) << path.toStdString();
    }
    static int writeFlag(const QString& name) {
        return platform::registry().write(
            RegistryRoot::CurrentUser, QStringLiteral("Software\\Vaskor Security\\Test"), name,
            platform::RegistryValue{platform::REG_DWORD_TYPE, QByteArray("\x01\0\0\0", 4)});
    }

    struct Saved {
        const char* name;
        bool set;
        QByteArray value;
    };
    std::vector<Saved> saved_;
    QTemporaryDir base_;
    QTemporaryDir rootFolder_;
    QString name_;
    QString home_;
    Owner user_{};
    bool created_ = false;
};

} // namespace

TEST_F(InvokingUserTest, SudoAndPkexecNameTheUserWithTheHomeOfThePasswordDatabase) {
    auto user = platform::ElevatedFor();
    ASSERT_TRUE(user.has_value());
    EXPECT_EQ(user->uid, user_.uid);
    EXPECT_EQ(user->gid, user_.gid);
    EXPECT_EQ(QString::fromStdString(user->home), home_);
    EXPECT_EQ(QString::fromStdString(platform::UserConfigHome()), home_ + "/.config");
    EXPECT_EQ(QString::fromStdString(platform::UserDataHome()), home_ + "/.local/share");

    qunsetenv("SUDO_UID");
    qunsetenv("SUDO_GID");
    qputenv("PKEXEC_UID", QByteArray::number(user_.uid));
    user = platform::ElevatedFor();
    ASSERT_TRUE(user.has_value()) << "pkexec names only the user; the group is theirs";
    EXPECT_EQ(user->gid, user_.gid);

    for (const char* uid : {"0", "", "12x", "-1"}) {
        qputenv("PKEXEC_UID", uid);
        EXPECT_FALSE(platform::ElevatedFor().has_value()) << uid;
    }
    qunsetenv("PKEXEC_UID");
    EXPECT_FALSE(platform::ElevatedFor().has_value());
    EXPECT_EQ(QString::fromStdString(platform::UserConfigHome()), rootFolder_.filePath("config"))
        << "root on its own keeps its own folders";
}

TEST_F(InvokingUserTest, TheUserHiveAndItsFoldersBelongToTheUser) {
    const QString hive = platform::registry().location(RegistryRoot::CurrentUser);
    EXPECT_EQ(hive, home_ + "/.config/kestrune/user.reg");
    ASSERT_EQ(writeFlag(QStringLiteral("First")), 0);
    for (const QString& path :
         {home_ + "/.config", home_ + "/.config/kestrune", hive, hive + ".lock"})
        expectUsers(path);
    // Replacing the file (a new file renamed over it) keeps it the user's.
    ASSERT_EQ(writeFlag(QStringLiteral("Second")), 0);
    expectUsers(hive);

    // A hive an earlier run left to root is the user's again after the next write.
    ASSERT_EQ(::chown(QFile::encodeName(hive).constData(), 0, 0), 0);
    ASSERT_EQ(writeFlag(QStringLiteral("Third")), 0);
    expectUsers(hive);
    const QStringList left =
        QDir(home_ + "/.config/kestrune").entryList(QDir::Files | QDir::Hidden);
    EXPECT_EQ(left, (QStringList{"user.reg", "user.reg.lock"}));
}

TEST_F(InvokingUserTest, TheLanguageChoiceBelongsToTheUser) {
    ASSERT_TRUE(language::storeChoice(u"DE"));
    const QString choice = QString::fromStdString(language::choiceFilePath());
    EXPECT_EQ(choice, home_ + "/.config/kestrune/language");
    expectUsers(home_ + "/.config/kestrune");
    expectUsers(choice);
    EXPECT_EQ(language::readStoredChoice(), std::u16string(u"DE"));
}

TEST_F(InvokingUserTest, AReportGoesToTheUsersFolderAndIsTheirs) {
    // Root's own registry folder for the machine hive; the user hive stays unused.
    test::ScopedRegistry registry;
    test::registerComponentDirectory(QStringLiteral("VSKLanguage.dll"), test::binDir());
    auto language = std::make_shared<LanguageManager>();
    ASSERT_TRUE(language->HasLanguages());
    ShredReport report(100, language);
    ASSERT_EQ(report.finish(), 1);
    const QString logs = home_ + "/.local/share/Vaskor Security/Vaskor Kestrune/Logs";
    EXPECT_TRUE(report.writtenPath().startsWith(logs + "/")) << report.writtenPath().toStdString();
    for (const QString& folder :
         {home_ + "/.local", home_ + "/.local/share", home_ + "/.local/share/Vaskor Security",
          home_ + "/.local/share/Vaskor Security/Vaskor Kestrune", logs})
        expectUsers(folder);
    expectUsers(report.writtenPath());
}

TEST_F(InvokingUserTest, OutsideTheUsersFoldersFilesStayRoots) {
    // A settings folder of root's, named on the command line of sudo -E.
    QTemporaryDir rootsOwn;
    qputenv("KESTRUNE_REGISTRY_DIR", QFile::encodeName(rootsOwn.filePath("registry")));
    ASSERT_EQ(writeFlag(QStringLiteral("Flag")), 0);
    expectRoots(rootsOwn.filePath("registry"));
    expectRoots(rootsOwn.filePath("registry/user.reg"));

    // The same in a folder the user owns: the file is theirs.
    const QString usersOwn = base_.filePath("users-own");
    ASSERT_TRUE(QDir().mkpath(usersOwn));
    ASSERT_EQ(::chown(QFile::encodeName(usersOwn).constData(), user_.uid, user_.gid), 0);
    qputenv("KESTRUNE_REGISTRY_DIR", QFile::encodeName(usersOwn));
    ASSERT_EQ(writeFlag(QStringLiteral("Flag")), 0);
    expectUsers(usersOwn + "/user.reg");
}
