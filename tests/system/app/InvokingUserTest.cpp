// Started as root through sudo or pkexec, the program leaves the user's own files in the
// user's folders: a real user is created for these tests and removed afterwards.
#include "base/InvokingUser.h"
#include "LanguageComponent.h"
#include "TestSupport.h"
#include "TestUser.h"
#include "lang/LanguageManager.h"
#include "platform/Registry.h"
#include "platform/linux/FileRegistry.h"
#include "shred/ErasureCertificate.h"
#include "shred/ShredReport.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <unistd.h>

using namespace kestrune;
using platform::RegistryRoot;

namespace {

class InvokingUserTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!user_.unavailable().isEmpty())
            GTEST_SKIP() << user_.unavailable().toStdString();
        home_ = user_.home();
        // No test here may wait for a dialog.
        ShredReport::setSaveFileAsker([](const QString& name) {
            ADD_FAILURE() << "asked for another name than " << name.toStdString();
            return QString();
        });
    }
    void TearDown() override { ShredReport::setSaveFileAsker({}); }
    void expectUsers(const QString& path) const {
        const auto owner = test::ownerOf(path);
        ASSERT_TRUE(owner.has_value()) << path.toStdString() << " is missing";
        EXPECT_EQ(owner->uid, user_.uid()) << path.toStdString();
        EXPECT_EQ(owner->gid, user_.gid()) << path.toStdString();
    }
    static void expectRoots(const QString& path) {
        const auto owner = test::ownerOf(path);
        ASSERT_TRUE(owner.has_value()) << path.toStdString() << " is missing";
        EXPECT_EQ(owner->uid, 0u) << path.toStdString();
    }
    static int writeFlag(const QString& name) {
        return platform::registry().write(
            RegistryRoot::CurrentUser, QStringLiteral("Software\\Vaskor Security\\Test"), name,
            platform::RegistryValue{platform::REG_DWORD_TYPE, QByteArray("\x01\0\0\0", 4)});
    }

    test::SudoingTestUser user_;
    QString home_;
};

} // namespace

TEST_F(InvokingUserTest, SudoAndPkexecNameTheUserWithTheHomeOfThePasswordDatabase) {
    auto user = platform::ElevatedFor();
    ASSERT_TRUE(user.has_value());
    EXPECT_EQ(user->uid, user_.uid());
    EXPECT_EQ(user->gid, user_.gid());
    EXPECT_EQ(QString::fromStdString(user->home), home_);
    EXPECT_EQ(QString::fromStdString(platform::UserConfigHome()), home_ + "/.config");
    EXPECT_EQ(QString::fromStdString(platform::UserDataHome()), home_ + "/.local/share");

    qunsetenv("SUDO_UID");
    qunsetenv("SUDO_GID");
    qputenv("PKEXEC_UID", QByteArray::number(user_.uid()));
    user = platform::ElevatedFor();
    ASSERT_TRUE(user.has_value()) << "pkexec names only the user; the group is theirs";
    EXPECT_EQ(user->gid, user_.gid());

    for (const char* uid : {"0", "", "12x", "-1"}) {
        qputenv("PKEXEC_UID", uid);
        EXPECT_FALSE(platform::ElevatedFor().has_value()) << uid;
    }
    qunsetenv("PKEXEC_UID");
    EXPECT_FALSE(platform::ElevatedFor().has_value());
    EXPECT_EQ(QString::fromStdString(platform::UserConfigHome()), user_.rootsFolder("config"))
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

    const QStringList left =
        QDir(home_ + "/.config/kestrune").entryList(QDir::Files | QDir::Hidden);
    EXPECT_EQ(left, (QStringList{"user.reg", "user.reg.lock"}));

    // A hive left to root (by a run as root on its own) is out of the user's reach: it is
    // neither read nor replaced with root's rights, so none of its values is lost.
    ASSERT_EQ(::chown(QFile::encodeName(hive).constData(), 0, 0), 0);
    QFile before(hive);
    ASSERT_TRUE(before.open(QIODevice::ReadOnly));
    const QByteArray kept = before.readAll();
    EXPECT_EQ(writeFlag(QStringLiteral("Third")), platform::REGISTRY_ACCESS_DENIED);
    expectRoots(hive);
    QFile after(hive);
    ASSERT_TRUE(after.open(QIODevice::ReadOnly));
    EXPECT_EQ(after.readAll(), kept);
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

TEST_F(InvokingUserTest, ACertificateBesideTheReportIsTheUsersToo) {
    test::ScopedRegistry registry;
    test::registerComponentDirectory(QStringLiteral("VSKLanguage.dll"), test::binDir());
    auto language = std::make_shared<LanguageManager>();
    ASSERT_TRUE(language->HasLanguages());
    ShredReport report(100, language);
    ASSERT_EQ(report.finish(), 1);
    CertificateFacts facts;
    facts.reportFile = QFileInfo(report.writtenPath()).fileName();
    facts.reportSha256 = sha256OfFile(report.writtenPath());
    const QByteArray pdf = renderErasureCertificate(facts, *language);
    ASSERT_FALSE(pdf.isEmpty());
    const QString certificate = certificatePathFor(report.writtenPath());
    for (CertificateFileMode mode :
         {CertificateFileMode::NewFile, CertificateFileMode::ReplaceExisting}) {
        // Replaced, a certificate an earlier run left to root is the user's again.
        if (mode == CertificateFileMode::ReplaceExisting) {
            ASSERT_EQ(::chown(QFile::encodeName(certificate).constData(), 0, 0), 0);
        }
        ASSERT_EQ(writeCertificateFile(certificate, pdf, mode), QString());
        expectUsers(certificate);
    }
}

TEST_F(InvokingUserTest, InRootsOwnFolderFilesStayRoots) {
    // A settings folder of root's, named on the command line of sudo -E.
    QTemporaryDir rootsOwn;
    qputenv("KESTRUNE_REGISTRY_DIR", QFile::encodeName(rootsOwn.filePath("registry")));
    ASSERT_EQ(writeFlag(QStringLiteral("Flag")), 0);
    expectRoots(rootsOwn.filePath("registry"));
    expectRoots(rootsOwn.filePath("registry/user.reg"));

    // A folder of the user's, named the same way, is not used at all.
    QTemporaryDir outside;
    const QString usersOwn = outside.filePath("users-own");
    ASSERT_TRUE(QDir().mkpath(usersOwn));
    ASSERT_EQ(::chown(QFile::encodeName(usersOwn).constData(), user_.uid(), user_.gid()), 0);
    qputenv("KESTRUNE_REGISTRY_DIR", QFile::encodeName(usersOwn));
    EXPECT_EQ(writeFlag(QStringLiteral("Flag")), platform::REGISTRY_ACCESS_DENIED);
    EXPECT_TRUE(QDir(usersOwn).isEmpty());
}
