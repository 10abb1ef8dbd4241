// The update as root: a download through sudo goes where only root can enter, root trusts
// only authorities no one else can change, and root runs the installer without pkexec.
#include "TestUser.h"
#include "UpdateComponentFixtures.h"
#include "UpdateTestKit.h"

#include "UpdateFeed.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <atomic>
#include <functional>
#include <sys/stat.h>
#include <unistd.h>

using namespace kestrune;
using namespace kestrune::test;
using namespace kestrune::update;

namespace {

class UpdateDownloadTest : public SignedUpdateFixture {};

TEST_F(UpdateDownloadTest, ThroughSudoThePackageGoesToAFolderOnlyRootCanEnter) {
    SudoingTestUser user;
    if (!user.unavailable().isEmpty())
        GTEST_SKIP() << user.unavailable().toStdString();
    writeFile(QStringLiteral("kestrune_2.0_all.deb"), "package");
    const DownloadFolder folder = prepareDownloadFolder();
    ASSERT_FALSE(folder.path.isEmpty()) << folder.error.toStdString();
    EXPECT_TRUE(folder.fresh);
    EXPECT_FALSE(folder.path.startsWith(user.home())) << folder.path.toStdString();
    struct stat info {};
    ASSERT_EQ(::lstat(QFile::encodeName(folder.path).constData(), &info), 0);
    EXPECT_TRUE(S_ISDIR(info.st_mode));
    EXPECT_EQ(info.st_uid, 0u);
    EXPECT_EQ(info.st_mode & 07777, 0700u);
    const DownloadFolder another = prepareDownloadFolder();
    EXPECT_NE(another.path, folder.path) << "each download has its own";
    removeDownloadFolder(another);

    std::atomic<bool> cancel{false};
    QString error;
    const QString target = downloadTargetFor(
        folder.path, server_->url(QStringLiteral("kestrune_2.0_all.deb")), QStringLiteral("2.0"));
    ASSERT_TRUE(downloadFile(server_->url(QStringLiteral("kestrune_2.0_all.deb")), target, 7,
                             kit_->caFile(), cancel, {}, &error))
        << error.toStdString();
    EXPECT_EQ(ownerOf(target)->uid, 0u);
    removeDownloadFolder(folder);
    EXPECT_FALSE(QFileInfo::exists(folder.path));
}

TEST_F(UpdateComponentTest, AsRootAnAuthoritiesFileOthersCouldChangeIsNotUsed) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "the rule is root's";
    publish({});
    QTemporaryDir place;
    const QString folder = QDir(place.path()).filePath(QStringLiteral("authorities"));
    ASSERT_TRUE(QDir().mkpath(folder));
    const QString file = QDir(folder).filePath(QStringLiteral("ca.pem"));
    ASSERT_TRUE(QFile::copy(kit_->caFile(), file));
    const QByteArray native = QFile::encodeName(file);
    const QByteArray nativeFolder = QFile::encodeName(folder);
    struct Case {
        const char* what;
        std::function<void()> change;
        const char* reason;
    };
    const Case cases[] = {
        {"another owner", [&] { ASSERT_EQ(::chown(native.constData(), 65534, 0), 0); },
         "belongs to user 65534"},
        {"group-writable", [&] { ASSERT_EQ(::chmod(native.constData(), 0664), 0); },
         "can be changed by others than root (mode 0664)"},
        {"in a folder all may write to",
         [&] { ASSERT_EQ(::chmod(nativeFolder.constData(), 0777), 0); },
         "can be changed by others than root (mode 0777)"}};
    putString(platform::RegistryRoot::LocalMachine, kUpdateKey, QStringLiteral("CaFile"), file);
    for (const Case& c : cases) {
        ASSERT_EQ(::chown(native.constData(), 0, 0), 0);
        ASSERT_EQ(::chmod(native.constData(), 0644), 0);
        ASSERT_EQ(::chmod(nativeFolder.constData(), 0755), 0);
        QString errors;
        ASSERT_EQ(check(&errors), 2) << "trusted again: " << errors.toStdString();
        const qsizetype fetched = server_->requests().size();
        c.change();
        EXPECT_EQ(check(&errors), KESTRUNE_UPDATE_NOT_VERIFIED) << c.what;
        EXPECT_TRUE(errors.contains(file + QStringLiteral(" is not used")) &&
                    errors.contains(QLatin1String(c.reason)))
            << c.what << ": " << errors.toStdString();
        EXPECT_EQ(server_->requests().size(), fetched)
            << c.what << ": nothing fetched, not even with the system's authorities";
    }
}

TEST_F(UpdateDialogTest, DownloadAndInstallClosesOnlyOnceTheInstallerInstalledIt) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "not root, the dialog asks pkexec to run the installer";
    const QByteArray package = publish({.extraLines = "notes=Faster\nnotes=Safer\n"});
    QString versions;
    const int result = runDialog(QStringLiteral("1.0.0.1"), [&](QDialog& dialog) {
        ASSERT_TRUE(waitFor([&] { return button(dialog, "installButton")->isEnabled(); }));
        versions = label(dialog, "versionsLabel");
        QTest::mouseClick(button(dialog, "installButton"), Qt::LeftButton);
    });
    EXPECT_EQ(result, 1);
    EXPECT_TRUE(versions.contains(QStringLiteral("1.0.0.1"))) << versions.toStdString();
    EXPECT_TRUE(versions.contains(QStringLiteral("2.0.0.0"))) << versions.toStdString();
    const QString saved = QDir(downloads_).filePath(QStringLiteral("kestrune_2.0.0.0_all.deb"));
    QFile file(saved);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    EXPECT_EQ(file.readAll(), package);
    EXPECT_EQ(installed(), saved + QStringLiteral(".feed ") + saved)
        << "the installer beside the component gets the file that was checked and its feed";
    QFile feed(saved + QStringLiteral(".feed"));
    ASSERT_TRUE(feed.open(QIODevice::ReadOnly));
    QFile published(QDir(files_.path()).filePath(QStringLiteral("feed.txt")));
    ASSERT_TRUE(published.open(QIODevice::ReadOnly));
    EXPECT_EQ(feed.readAll(), published.readAll()) << "the very bytes whose signature was checked";
    EXPECT_TRUE(opened().isEmpty()) << "the package goes to the installer, not to an opener";
    EXPECT_TRUE(messages().boxes().empty());
}

TEST_F(UpdateDialogTest, AnInstallerThatRefusesKeepsTheProgramAndSaysWhy) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "not root, the dialog asks pkexec to run the installer";
    publish({});
    setInstallerAnswer(100);
    QString status;
    bool offeredAgain = false;
    const int result = runDialog(QStringLiteral("1.0.0.1"), [&](QDialog& dialog) {
        ASSERT_TRUE(waitFor([&] { return button(dialog, "installButton")->isEnabled(); }));
        QTest::mouseClick(button(dialog, "installButton"), Qt::LeftButton);
        ASSERT_TRUE(
            waitFor([&] { return label(dialog, "statusLabel").contains("not installed"); }));
        status = label(dialog, "statusLabel");
        offeredAgain = button(dialog, "installButton")->isEnabled();
        QTest::mouseClick(button(dialog, "closeButton"), Qt::LeftButton);
    });
    EXPECT_EQ(result, 0);
    EXPECT_TRUE(offeredAgain);
    EXPECT_TRUE(status.contains(QStringLiteral("code 100"))) << status.toStdString();
    EXPECT_TRUE(status.contains(QStringLiteral("fake installer says no"))) << status.toStdString();
    EXPECT_TRUE(
        QFileInfo::exists(QDir(downloads_).filePath(QStringLiteral("kestrune_2.0.0.0_all.deb"))));
}

} // namespace
