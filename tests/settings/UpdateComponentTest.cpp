#include "SettingsFixture.h"
#include "TestUser.h"

#include "UpdateDialog.h"
#include "UpdateFeed.h"
#include "platform/Module.h"

#include <QApplication>
#include <QDialog>
#include <QLabel>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <kestrune/update_abi.h>

#include <functional>

using namespace kestrune;
using namespace kestrune::test;
using namespace kestrune::update;

namespace {

TEST(UpdateVersion, ParsesUpToFourNumbersAndNone) {
    EXPECT_EQ(parseVersion(QStringLiteral("1.2.3.4"))->parts,
              (std::array<std::uint32_t, 4>{1, 2, 3, 4}));
    EXPECT_EQ(parseVersion(QStringLiteral("2"))->parts, (std::array<std::uint32_t, 4>{2, 0, 0, 0}));
    EXPECT_EQ(parseVersion(QStringLiteral("none")), Version{});
    for (const char* bad : {"", "1..2", "1.2.3.4.5", "1.x", "-1", "1.2.", "v1", "1 .2"})
        EXPECT_FALSE(parseVersion(QString::fromLatin1(bad)).has_value()) << bad;
    EXPECT_LT(*parseVersion(QStringLiteral("1.9.9.9")), *parseVersion(QStringLiteral("1.10")));
    EXPECT_EQ(*parseVersion(QStringLiteral("1.0")), *parseVersion(QStringLiteral("1.0.0.0")));
}

TEST(UpdateManifest, ReadsVersionUrlHashAndMultiLineNotes) {
    QString error;
    const auto manifest = parseManifest("\xEF\xBB\xBF# feed\r\nversion = 1.2.3.4\r\n"
                                        "url=pkg/kestrune.deb\nnotes=First\nnotes=\n"
                                        "notes=Third = line\nfuture=ignored\n"
                                        "sha256=" +
                                            QByteArray(64, 'A') + "\n",
                                        &error);
    ASSERT_TRUE(manifest) << error.toStdString();
    EXPECT_EQ(versionText(manifest->version), QStringLiteral("1.2.3.4"));
    EXPECT_EQ(manifest->url, QStringLiteral("pkg/kestrune.deb"));
    EXPECT_EQ(manifest->notes, QStringLiteral("First\n\nThird = line"));
    EXPECT_EQ(manifest->sha256, QString(64, QLatin1Char('a')));
}

TEST(UpdateManifest, RejectsWhatCannotBeTrusted) {
    const char* bad[] = {"",
                         "url=x\n",
                         "version=1.2\nversion=1.3\n",
                         "version=1.2.x\n",
                         "version=none\n",
                         "version=1\njust text\n",
                         "version=1\n=value\n",
                         "version=1\nurl=\n",
                         "version=1\nsha256=abc\n",
                         "version=1\xff\n"};
    for (const char* text : bad) {
        QString error;
        EXPECT_FALSE(parseManifest(QByteArray(text), &error)) << text;
        EXPECT_FALSE(error.isEmpty()) << text;
    }
    EXPECT_FALSE(parseManifest(QByteArray("version=1\n") + QByteArray(70000, '#'), nullptr));
}

TEST(UpdateFeedAddress, FoundInTheMachineHiveByProductWithEscapes) {
    const QByteArray hive =
        "Windows Registry Editor Version 5.00\n\n"
        "[HKEY_LOCAL_MACHINE\\Software\\Other\\Else\\Settings\\Update]\n"
        "\"FeedUrl\"=\"/wrong\"\n\n"
        "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Vaskor Security\\vaskor kestrune\\Settings\\Update]\n"
        "\"HideUpdate\"=dword:00000000\n"
        "\"feedurl\"=\"C:\\\\feeds\\\\\\\"x\\\".txt\"\n";
    EXPECT_EQ(feedUrlFromHive(hive, QStringLiteral("Vaskor Kestrune")),
              QStringLiteral("C:\\feeds\\\"x\".txt"));
    EXPECT_FALSE(feedUrlFromHive(hive, QStringLiteral("Kestrune")));
    EXPECT_FALSE(feedUrlFromHive("[HKEY_LOCAL_MACHINE\\Software\\A\\P\\Settings\\Update]\n"
                                 "\"FeedUrl\"=dword:00000001\n",
                                 QStringLiteral("P")));
}

TEST(UpdateFeedAddress, PackageAddressesResolveAgainstTheManifest) {
    EXPECT_EQ(resolveAddress(QStringLiteral("/srv/feed/manifest.txt"), QStringLiteral("pkg.deb")),
              QStringLiteral("/srv/feed/pkg.deb"));
    EXPECT_EQ(resolveAddress(QStringLiteral("https://example.org/a/feed.txt"),
                             QStringLiteral("../b/pkg.deb")),
              QStringLiteral("https://example.org/b/pkg.deb"));
    EXPECT_EQ(
        resolveAddress(QStringLiteral("/srv/feed.txt"), QStringLiteral("https://x.org/p.deb")),
        QStringLiteral("https://x.org/p.deb"));
    EXPECT_EQ(localPathOf(QStringLiteral("file:///tmp/a.deb")), QStringLiteral("/tmp/a.deb"));
    EXPECT_TRUE(localPathOf(QStringLiteral("ftp://x/a.deb")).isEmpty());
    EXPECT_FALSE(fetchSmall(QStringLiteral("ftp://x/a"), 10).ok);
}

TEST(UpdateDownload, TargetNeverOverwritesOrLeavesTheFolder) {
    QTemporaryDir folder;
    const Version version = *parseVersion(QStringLiteral("2.0"));
    const QString first =
        downloadTargetFor(folder.path(), QStringLiteral("https://x/pkg.deb"), version);
    EXPECT_EQ(first, QDir(folder.path()).filePath(QStringLiteral("pkg.deb")));
    QFile(first).open(QIODevice::WriteOnly);
    EXPECT_EQ(downloadTargetFor(folder.path(), QStringLiteral("/src/pkg.deb"), version),
              QDir(folder.path()).filePath(QStringLiteral("pkg (1).deb")));
    EXPECT_EQ(downloadTargetFor(folder.path(), QStringLiteral("https://x/"), version),
              QDir(folder.path()).filePath(QStringLiteral("kestrune-update-2.0.0.0")));
    EXPECT_EQ(downloadTargetFor(folder.path(), QStringLiteral("https://x/..%2F..%2Fevil"), version)
                  .section(QLatin1Char('/'), 0, -2),
              folder.path());
}

TEST(UpdateDownload, ThroughSudoThePackageInTheUsersFolderIsTheirs) {
    SudoingTestUser user;
    if (!user.unavailable().isEmpty())
        GTEST_SKIP() << user.unavailable().toStdString();
    QTemporaryDir folder;
    const QString source = QDir(folder.path()).filePath(QStringLiteral("src.deb"));
    QFile file(source);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write("package");
    file.close();
    std::atomic<bool> cancel{false};
    QString error;
    const QString target = user.home() + QStringLiteral("/kestrune_2.0.0.0.deb");
    ASSERT_TRUE(downloadFile(source, target, cancel, {}, &error)) << error.toStdString();
    const auto owner = ownerOf(target);
    ASSERT_TRUE(owner.has_value());
    EXPECT_EQ(owner->uid, user.uid());
    EXPECT_EQ(owner->gid, user.gid());
}

TEST(UpdateDownload, CopiesLocalPackagesAndCleansUpOnFailure) {
    QTemporaryDir folder;
    const QString source = QDir(folder.path()).filePath(QStringLiteral("src.deb"));
    QFile file(source);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(QByteArray(3 * 1024 * 1024 + 17, 'k'));
    file.close();
    std::atomic<bool> cancel{false};
    qint64 last = 0;
    QString error;
    const QString target = QDir(folder.path()).filePath(QStringLiteral("out.deb"));
    ASSERT_TRUE(downloadFile(
        source, target, cancel, [&](qint64 got, qint64) { last = got; }, &error))
        << error.toStdString();
    EXPECT_EQ(QFileInfo(target).size(), 3 * 1024 * 1024 + 17);
    EXPECT_EQ(last, 3 * 1024 * 1024 + 17);
    EXPECT_EQ(sha256OfFile(target), sha256OfFile(source));

    cancel = true;
    const QString cancelled = QDir(folder.path()).filePath(QStringLiteral("cancelled.deb"));
    EXPECT_FALSE(downloadFile(source, cancelled, cancel, {}, &error));
    EXPECT_FALSE(QFileInfo::exists(cancelled));
    EXPECT_FALSE(QFileInfo::exists(cancelled + QStringLiteral(".part")));
    cancel = false;
    EXPECT_FALSE(downloadFile(source + QStringLiteral(".missing"), cancelled, cancel, {}, &error));
    EXPECT_FALSE(QFileInfo::exists(cancelled + QStringLiteral(".part")));
}

// The component as the program loads it, called through its entry.
class UpdateComponentTest : public SettingsFixture {
protected:
    void SetUp() override {
        SettingsFixture::SetUp();
        module_ = platform::Module::load(QDir(binDir()).filePath(QStringLiteral("VSKUpdate.dll")));
        ASSERT_TRUE(module_);
        entry_ = module_->entry<VSKUpdateFn>(KESTRUNE_UPDATE_ENTRY);
        ASSERT_TRUE(entry_);
    }

    int call(const QString& version, int mode) {
        const std::u16string dir = binDir().toStdU16String();
        const std::u16string product = u"Vaskor Kestrune";
        const std::u16string ver = version.toStdU16String();
        return entry_(0, dir.c_str(), product.c_str(), ver.c_str(), mode, 0);
    }

    std::unique_ptr<platform::Module> module_;
    VSKUpdateFn entry_ = nullptr;
};

TEST_F(UpdateComponentTest, ScheduledCheckAnswersTwoOnlyForANewerVersion) {
    setFeed(writeFile(QStringLiteral("feed.txt"), "version=1.2.3.4\nurl=p.deb\n"));
    EXPECT_EQ(call(QStringLiteral("1.2.3.3"), 1), 2);
    EXPECT_EQ(call(QStringLiteral("none"), 1), 2);
    EXPECT_EQ(call(QStringLiteral("1.2.3.4"), 1), 0);
    EXPECT_EQ(call(QStringLiteral("1.3.0.0"), 1), 0);
    EXPECT_EQ(call(QStringLiteral("2.0.0.0"), 99), 0) << "unknown modes do nothing";
}

TEST_F(UpdateComponentTest, ScheduledCheckAnswersZeroWithoutUsableFeed) {
    EXPECT_EQ(call(QStringLiteral("none"), 1), 0) << "no feed configured";
    setFeed(writeFile(QStringLiteral("feed.txt"), "version 2\n"));
    EXPECT_EQ(call(QStringLiteral("none"), 1), 0) << "malformed";
    setFeed(QDir(files_.path()).filePath(QStringLiteral("missing.txt")));
    EXPECT_EQ(call(QStringLiteral("none"), 1), 0) << "missing";
    setFeed(QStringLiteral("http://127.0.0.1:1/feed.txt"));
    EXPECT_EQ(call(QStringLiteral("none"), 1), 0) << "unreachable";
    setFeed(QStringLiteral("file://") + writeFile(QStringLiteral("ok.txt"), "version=3\n"));
    EXPECT_EQ(call(QStringLiteral("none"), 1), 2) << "file:// address";
    EXPECT_TRUE(messages().boxes().empty());
}

// Mode 0 runs the component's own dialog; these tests press its buttons.
class UpdateDialogTest : public UpdateComponentTest {
protected:
    void SetUp() override {
        UpdateComponentTest::SetUp();
        previousConfig_ = qgetenv("XDG_CONFIG_HOME");
        previousPath_ = qgetenv("PATH");
        QDir(tools_.path()).mkpath(QStringLiteral("config"));
        downloads_ = QDir(tools_.path()).filePath(QStringLiteral("downloads"));
        QFile dirs(QDir(tools_.path()).filePath(QStringLiteral("config/user-dirs.dirs")));
        ASSERT_TRUE(dirs.open(QIODevice::WriteOnly));
        dirs.write("XDG_DOWNLOAD_DIR=\"" + downloads_.toUtf8() + "\"\n");
        dirs.close();
        qputenv("XDG_CONFIG_HOME", QDir(tools_.path()).filePath(QStringLiteral("config")).toUtf8());
        // The desktop's opener is replaced by one that writes down what it was given.
        openLog_ = QDir(tools_.path()).filePath(QStringLiteral("opened.txt"));
        const QString opener = QDir(tools_.path()).filePath(QStringLiteral("xdg-open"));
        QFile script(opener);
        ASSERT_TRUE(script.open(QIODevice::WriteOnly));
        script.write("#!/bin/sh\necho \"$1\" >> '" + openLog_.toUtf8() + "'\n");
        script.close();
        script.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        // The installer is replaced too: it writes down its command line and answers with
        // the exit code the test chose.
        installLog_ = QDir(tools_.path()).filePath(QStringLiteral("installed.txt"));
        installerAnswer_ = QDir(tools_.path()).filePath(QStringLiteral("installer-answer"));
        setInstallerAnswer(0);
        QFile installer(QDir(tools_.path()).filePath(QStringLiteral("pkexec")));
        ASSERT_TRUE(installer.open(QIODevice::WriteOnly));
        installer.write("#!/bin/sh\necho \"$*\" >> '" + installLog_.toUtf8() +
                        "'\necho 'E: the fake installer says no' >&2\nexit $(cat '" +
                        installerAnswer_.toUtf8() + "')\n");
        installer.close();
        installer.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        qputenv("PATH", tools_.path().toUtf8() + ":" + previousPath_);
    }
    void setInstallerAnswer(int code) {
        QFile answer(installerAnswer_);
        ASSERT_TRUE(answer.open(QIODevice::WriteOnly));
        answer.write(QByteArray::number(code));
    }
    QString installed() const {
        QFile file(installLog_);
        return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()).trimmed()
                                              : QString();
    }
    void TearDown() override {
        if (previousConfig_.isEmpty())
            qunsetenv("XDG_CONFIG_HOME");
        else
            qputenv("XDG_CONFIG_HOME", previousConfig_);
        qputenv("PATH", previousPath_);
        UpdateComponentTest::TearDown();
    }

    // Runs the component in mode 0 while script works the dialog once it shows.
    int runDialog(const QString& version, std::function<void(QDialog&)> script) {
        bool ran = false;
        QTimer poll;
        poll.setInterval(20);
        QObject::connect(&poll, &QTimer::timeout, [&] {
            auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget());
            if (!dialog || ran || dialog->objectName() != QLatin1String("updateDialog"))
                return;
            ran = true;
            script(*dialog);
        });
        poll.start();
        const int result = call(version, 0);
        EXPECT_TRUE(ran) << "the dialog never showed";
        return result;
    }

    static bool waitFor(const std::function<bool()>& condition) {
        for (int i = 0; i < 500 && !condition(); ++i)
            QTest::qWait(10);
        return condition();
    }

    static QPushButton* button(QDialog& dialog, const char* name) {
        return dialog.findChild<QPushButton*>(QString::fromLatin1(name));
    }
    static QString label(QDialog& dialog, const char* name) {
        auto* text = dialog.findChild<QLabel*>(QString::fromLatin1(name));
        return text ? text->text() : QString();
    }

    QString opened() const {
        QFile file(openLog_);
        return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()).trimmed()
                                              : QString();
    }

    QTemporaryDir tools_;
    QString downloads_;
    QString openLog_;
    QString installLog_;
    QString installerAnswer_;
    QByteArray previousConfig_;
    QByteArray previousPath_;
};

TEST_F(UpdateDialogTest, DownloadAndInstallClosesOnlyOnceTheInstallerInstalledIt) {
    const QByteArray package(200000, 'p');
    writeFile(QStringLiteral("kestrune-2.0.deb"), package);
    setFeed(writeFile(QStringLiteral("feed.txt"),
                      "version=2.0\nurl=kestrune-2.0.deb\nnotes=Faster\nnotes=Safer\n"));
    QString versions;
    const int result = runDialog(QStringLiteral("1.0.0.1"), [&](QDialog& dialog) {
        ASSERT_TRUE(waitFor([&] { return button(dialog, "installButton")->isEnabled(); }));
        versions = label(dialog, "versionsLabel");
        QTest::mouseClick(button(dialog, "installButton"), Qt::LeftButton);
    });
    EXPECT_EQ(result, 1);
    EXPECT_TRUE(versions.contains(QStringLiteral("1.0.0.1"))) << versions.toStdString();
    EXPECT_TRUE(versions.contains(QStringLiteral("2.0.0.0"))) << versions.toStdString();
    const QString saved = QDir(downloads_).filePath(QStringLiteral("kestrune-2.0.deb"));
    QFile file(saved);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    EXPECT_EQ(file.readAll(), package);
    EXPECT_EQ(installed(), QStringLiteral("apt-get install --yes ") + saved);
    EXPECT_TRUE(opened().isEmpty()) << "the package goes to the installer, not to an opener";
}

TEST_F(UpdateDialogTest, AnInstallerThatRefusesKeepsTheProgramAndSaysWhy) {
    writeFile(QStringLiteral("kestrune-2.0.deb"), "package");
    setFeed(writeFile(QStringLiteral("feed.txt"), "version=2.0\nurl=kestrune-2.0.deb\n"));
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
    EXPECT_TRUE(QFileInfo::exists(QDir(downloads_).filePath(QStringLiteral("kestrune-2.0.deb"))));
}

TEST_F(UpdateDialogTest, APackageWithoutAnInstallerIsOnlySaved) {
    EXPECT_TRUE(installerCommand(QStringLiteral("/tmp/kestrune.tar.gz")).isEmpty());
    writeFile(QStringLiteral("kestrune-2.0.tar.gz"), "archive");
    setFeed(writeFile(QStringLiteral("feed.txt"), "version=2.0\nurl=kestrune-2.0.tar.gz\n"));
    QString status;
    const int result = runDialog(QStringLiteral("1.0.0.1"), [&](QDialog& dialog) {
        ASSERT_TRUE(waitFor([&] { return button(dialog, "installButton")->isEnabled(); }));
        QTest::mouseClick(button(dialog, "installButton"), Qt::LeftButton);
        ASSERT_TRUE(waitFor([&] { return label(dialog, "statusLabel").contains("by hand"); }));
        status = label(dialog, "statusLabel");
        QTest::mouseClick(button(dialog, "closeButton"), Qt::LeftButton);
    });
    EXPECT_EQ(result, 0);
    EXPECT_TRUE(installed().isEmpty());
    EXPECT_TRUE(status.contains(QStringLiteral("kestrune-2.0.tar.gz"))) << status.toStdString();
}

TEST_F(UpdateDialogTest, ButtonsShowTheirWholeTextOnTheBand) {
    setFeed(writeFile(QStringLiteral("feed.txt"), "version=2.0\nurl=p.deb\n"));
    runDialog(QStringLiteral("1.0.0.1"), [&](QDialog& dialog) {
        ASSERT_TRUE(waitFor([&] { return button(dialog, "installButton")->isEnabled(); }));
        dialog.adjustSize();
        QTest::qWait(20);
        for (const char* name : {"downloadButton", "installButton", "closeButton"}) {
            QPushButton* b = button(dialog, name);
            EXPECT_GE(b->width(), b->sizeHint().width()) << name;
            const QRect onDialog(b->mapTo(&dialog, QPoint(0, 0)), b->size());
            EXPECT_GE(onDialog.top(), dialog.height() - 50) << name << " on the band";
            EXPECT_LE(onDialog.bottom(), dialog.height() - 4) << name << " above its foot";
            EXPECT_LE(onDialog.right(), dialog.width() - 12) << name;
        }
        QTest::keyClick(&dialog, Qt::Key_Escape);
    });
}

TEST_F(UpdateDialogTest, DownloadOnlyKeepsTheProgramRunning) {
    writeFile(QStringLiteral("p.deb"), "package");
    setFeed(writeFile(QStringLiteral("feed.txt"), "version=2.0\nurl=p.deb\n"));
    QString status;
    const int result = runDialog(QStringLiteral("1.0.0.1"), [&](QDialog& dialog) {
        ASSERT_TRUE(waitFor([&] { return button(dialog, "downloadButton")->isEnabled(); }));
        QTest::mouseClick(button(dialog, "downloadButton"), Qt::LeftButton);
        ASSERT_TRUE(waitFor([&] { return !opened().isEmpty(); }));
        ASSERT_TRUE(waitFor([&] { return button(dialog, "downloadButton")->isEnabled(); }));
        status = label(dialog, "statusLabel");
        QTest::mouseClick(button(dialog, "closeButton"), Qt::LeftButton);
    });
    EXPECT_EQ(result, 0);
    EXPECT_TRUE(status.contains(QStringLiteral("p.deb"))) << status.toStdString();
    EXPECT_TRUE(QFileInfo::exists(QDir(downloads_).filePath(QStringLiteral("p.deb"))));
}

TEST_F(UpdateDialogTest, ChecksumMismatchDeletesThePackageAndDoesNotClose) {
    writeFile(QStringLiteral("p.deb"), "tampered");
    setFeed(writeFile(QStringLiteral("feed.txt"),
                      "version=2.0\nurl=p.deb\nsha256=" + QByteArray(64, '0') + "\n"));
    QString status;
    const int result = runDialog(QStringLiteral("1.0.0.1"), [&](QDialog& dialog) {
        ASSERT_TRUE(waitFor([&] { return button(dialog, "installButton")->isEnabled(); }));
        QTest::mouseClick(button(dialog, "installButton"), Qt::LeftButton);
        ASSERT_TRUE(
            waitFor([&] { return !label(dialog, "statusLabel").startsWith("Downloading"); }));
        status = label(dialog, "statusLabel");
        QTest::mouseClick(button(dialog, "closeButton"), Qt::LeftButton);
    });
    EXPECT_EQ(result, 0);
    EXPECT_TRUE(status.contains(QStringLiteral("checksum"))) << status.toStdString();
    EXPECT_FALSE(QFileInfo::exists(QDir(downloads_).filePath(QStringLiteral("p.deb"))));
    EXPECT_TRUE(opened().isEmpty());
}

TEST_F(UpdateDialogTest, CurrentVersionAndBadFeedsOfferNoDownload) {
    struct Case {
        const char* manifest; // null: no feed configured
        const char* expected;
    };
    const Case cases[] = {{"version=1.0.0.1\nurl=p.deb\n", "latest version"},
                          {"version=1.0.0.0\nurl=p.deb\n", "latest version"},
                          {"garbage\n", "not readable"},
                          {nullptr, "No update address"}};
    for (const Case& c : cases) {
        if (c.manifest)
            setFeed(writeFile(QStringLiteral("feed.txt"), c.manifest));
        else
            putString(platform::RegistryRoot::LocalMachine, kUpdateKey, QStringLiteral("FeedUrl"),
                      QString());
        QString shown;
        bool offered = true;
        const int result = runDialog(QStringLiteral("1.0.0.1"), [&](QDialog& dialog) {
            ASSERT_TRUE(waitFor([&] {
                return !label(dialog, "headingLabel").startsWith(QStringLiteral("Looking"));
            }));
            shown =
                label(dialog, "headingLabel") + QLatin1Char('\n') + label(dialog, "statusLabel");
            offered = button(dialog, "installButton")->isEnabled();
            QTest::keyClick(&dialog, Qt::Key_Escape);
        });
        EXPECT_EQ(result, 0) << c.expected;
        EXPECT_FALSE(offered) << c.expected;
        EXPECT_TRUE(shown.contains(QString::fromLatin1(c.expected))) << shown.toStdString();
    }
    EXPECT_TRUE(opened().isEmpty());
}

} // namespace
