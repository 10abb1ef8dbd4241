#include "UpdateComponentFixtures.h"
#include "UpdateTestKit.h"

#include "DebianVersion.h"
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

#include <chrono>
#include <fcntl.h>
#include <functional>
#include <future>
#include <unistd.h>

using namespace kestrune;
using namespace kestrune::test;
using namespace kestrune::update;

namespace {

TEST(UpdateVersion, ComparesAndValidatesAsThePackageManagerDoes) {
    struct Case {
        const char* a;
        const char* b;
        int order;
    };
    const Case cases[] = {{"1.9.9.9", "1.10", -1},   {"1.0", "1.0.0.0", -1},
                          {"1.0.0.1", "1.0.0.1", 0}, {"1.01", "1.1", 0},
                          {"1.0~rc1", "1.0", -1},    {"1.0", "1.0a", -1},
                          {"1.0", "1.0+b1", -1},     {"1:0.1", "9.9", 1},
                          {"2.0-1", "2.0-10", -1},   {"2.0", "2.0-0", 0}};
    for (const Case& c : cases) {
        const QString a = QString::fromLatin1(c.a), b = QString::fromLatin1(c.b);
        ASSERT_TRUE(isDebianVersion(a) && isDebianVersion(b)) << c.a << " " << c.b;
        const int forward = compareDebianVersions(a, b), backward = compareDebianVersions(b, a);
        EXPECT_EQ((forward > 0) - (forward < 0), c.order) << c.a << " vs " << c.b;
        EXPECT_EQ((backward > 0) - (backward < 0), -c.order) << c.b << " vs " << c.a;
    }
    for (const char* good : {"1.2.3.4", "1:2.0-1", "2.0~rc1+dfsg-1.1"})
        EXPECT_TRUE(isDebianVersion(QString::fromLatin1(good))) << good;
    for (const char* bad :
         {"", "none", "v1", "1.2 ", "1.x_y", "-1", "1.2-", ":1", "1:", "1:2:3", "a:1", "2.0/../x"})
        EXPECT_FALSE(isDebianVersion(QString::fromLatin1(bad))) << bad;
    EXPECT_FALSE(isDebianVersion(QStringLiteral("1.\u0660")));
    EXPECT_TRUE(isNewerThanRunning(QStringLiteral("1.0.0.2"), QStringLiteral("1.0.0.1")));
    EXPECT_FALSE(isNewerThanRunning(QStringLiteral("1.0.0.1"), QStringLiteral("1.0.0.1")));
    EXPECT_TRUE(isNewerThanRunning(QStringLiteral("0.1"), QStringLiteral("none")));
    EXPECT_FALSE(isNewerThanRunning(QStringLiteral("0.0.0.0"), QStringLiteral("none")));
}

const QByteArray kHash(64, 'a');

TEST(UpdateManifest, ReadsVersionUrlHashAndMultiLineNotes) {
    QString error;
    const auto manifest = parseManifest("\xEF\xBB\xBF# feed\r\nversion = 1.2.3.4\r\n"
                                        "url=pkg/kestrune.deb\nnotes=First\nnotes=\n"
                                        "notes=Third = line\nfuture=ignored\nsize=816\n"
                                        "sha256=" +
                                            QByteArray(64, 'A') + "\n",
                                        &error);
    ASSERT_TRUE(manifest) << error.toStdString();
    EXPECT_EQ(manifest->version, QStringLiteral("1.2.3.4"));
    EXPECT_EQ(manifest->url, QStringLiteral("pkg/kestrune.deb"));
    EXPECT_EQ(manifest->notes, QStringLiteral("First\n\nThird = line"));
    EXPECT_EQ(manifest->sha256, QString(64, QLatin1Char('a')));
    EXPECT_EQ(manifest->size, 816);
}

TEST(UpdateManifest, RejectsWhatCannotBeTrusted) {
    const QByteArray complete = "url=p.deb\nsize=1\nsha256=" + kHash + "\n";
    const QByteArray bad[] = {"",
                              complete,
                              "version=1\nsize=1\nsha256=" + kHash + "\n",
                              "version=1\nurl=p.deb\nsha256=" + kHash + "\n",
                              "version=1\nurl=p.deb\nsize=1\n",
                              "version=1.2\nversion=1.3\n" + complete,
                              "version=1.x_y\n" + complete,
                              "version=none\n" + complete,
                              "version=1\njust text\n" + complete,
                              "version=1\n=value\n" + complete,
                              "version=1\nurl=\nsize=1\nsha256=" + kHash + "\n",
                              "version=1\nurl=p.deb\nsize=1\nsha256=abc\n",
                              "version=1\nsize=2\n" + complete,
                              "version=1\nurl=p.deb\nsize=0\nsha256=" + kHash + "\n",
                              "version=1\nurl=p.deb\nsize=-1\nsha256=" + kHash + "\n",
                              "version=1\nurl=p.deb\nsize=1e3\nsha256=" + kHash + "\n",
                              "version=1\nurl=p.deb\nsize=99999999999999\nsha256=" + kHash + "\n",
                              "version=1\nsignature=AAAA\n" + complete,
                              "version=1\xff\n" + complete};
    for (const QByteArray& text : bad) {
        QString error;
        EXPECT_FALSE(parseManifest(text, &error)) << text.constData();
        EXPECT_FALSE(error.isEmpty()) << text.constData();
    }
    EXPECT_FALSE(parseManifest("version=1\n" + complete + QByteArray(70000, '#'), nullptr));
}

TEST(UpdateManifest, TheSignatureIsTheLastLineAndCoversEverythingBeforeIt) {
    const QByteArray signature(64, '\x5a');
    const QByteArray line = "signature=" + signature.toBase64();
    for (const QByteArray& ending : {QByteArray("\n"), QByteArray("\r\n"), QByteArray()}) {
        QString error;
        const QByteArray body = "version=1" + (ending.isEmpty() ? QByteArray("\n") : ending);
        const auto split = splitSignature(body + line + ending, &error);
        ASSERT_TRUE(split) << error.toStdString();
        EXPECT_EQ(split->body, body);
        EXPECT_EQ(split->signature, signature);
    }
    struct Case {
        QByteArray feed;
        const char* reason;
    };
    const Case cases[] = {
        {"version=1\n", "no signature"},
        {line + "\nversion=1\n", "not its last line"},
        {"version=1\n" + line + "\n\n", "not its last line"},
        {"version=1\nsignature=not base64!\n", "64 bytes"},
        {"version=1\nsignature=" + QByteArray(32, 'x').toBase64() + "\n", "64 bytes"}};
    for (const Case& c : cases) {
        QString error;
        EXPECT_FALSE(splitSignature(c.feed, &error)) << c.feed.constData();
        EXPECT_TRUE(error.contains(QLatin1String(c.reason))) << error.toStdString();
    }
}

TEST(UpdateFeedAddress, SettingsFoundInTheMachineHiveByProductWithEscapes) {
    const QByteArray hive =
        "Windows Registry Editor Version 5.00\n\n"
        "[HKEY_LOCAL_MACHINE\\Software\\Other\\Else\\Settings\\Update]\n"
        "\"FeedUrl\"=\"https://wrong.example.org/\"\n\n"
        "[HKEY_LOCAL_MACHINE\\Software\\Other\\Else\\Settings\\Update\\TrustedKeys]\n"
        "\"else\"=\"ELSE\"\n\n"
        "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Vaskor Security\\vaskor kestrune\\Settings\\Update]\n"
        "\"HideUpdate\"=dword:00000000\n"
        "\"feedurl\"=\"https://example.org/\\\\feeds\\\\\\\"x\\\".txt\"\n"
        "\"CaFile\"=\"/etc/kestrune/ca.pem\"\n"
        "[HKEY_LOCAL_MACHINE\\Software\\Vaskor Security\\Vaskor Kestrune\\Settings\\Update\\"
        "TrustedKeys]\n"
        "\"2027\"=\"KEYONE\"\n"
        "\"mirror\" = \"KEYTWO\"\n"
        "\"number\"=dword:00000001\n";
    const UpdateSettings settings = updateSettingsFromHive(hive, QStringLiteral("Vaskor Kestrune"));
    EXPECT_EQ(settings.feedUrl, QStringLiteral("https://example.org/\\feeds\\\"x\".txt"));
    EXPECT_EQ(settings.caFile, QStringLiteral("/etc/kestrune/ca.pem"));
    EXPECT_EQ(settings.trustedKeys,
              (QStringList{QStringLiteral("KEYONE"), QStringLiteral("KEYTWO")}));
    const UpdateSettings other = updateSettingsFromHive(hive, QStringLiteral("Kestrune"));
    EXPECT_TRUE(other.feedUrl.isEmpty());
    EXPECT_TRUE(other.trustedKeys.isEmpty());
    EXPECT_TRUE(updateSettingsFromHive("[HKEY_LOCAL_MACHINE\\Software\\A\\P\\Settings\\Update]\n"
                                       "\"FeedUrl\"=dword:00000001\n",
                                       QStringLiteral("P"))
                    .feedUrl.isEmpty());
}

TEST(UpdateFeedAddress, OnlyHttpsAndRelativeAddressesResolveAgainstTheFeed) {
    const QString feed = QStringLiteral("https://example.org/a/feed.txt");
    EXPECT_EQ(resolveAddress(feed, QStringLiteral("pkg.deb")),
              QStringLiteral("https://example.org/a/pkg.deb"));
    EXPECT_EQ(resolveAddress(feed, QStringLiteral("../b/pkg.deb")),
              QStringLiteral("https://example.org/b/pkg.deb"));
    EXPECT_EQ(resolveAddress(feed, QStringLiteral("/srv/pkg.deb")),
              QStringLiteral("https://example.org/srv/pkg.deb"))
        << "a path is one on the feed's server";
    EXPECT_TRUE(isHttpsAddress(resolveAddress(feed, QStringLiteral("//mirror.example.org/p.deb"))));
    for (const char* refused : {"http://example.org/p.deb", "file:///tmp/p.deb", "ftp://x/p.deb"})
        EXPECT_FALSE(isHttpsAddress(resolveAddress(feed, QString::fromLatin1(refused)))) << refused;
    for (const char* refused : {"/etc/feed.txt", "https:///feed.txt", "https:feed.txt", ""})
        EXPECT_FALSE(isHttpsAddress(QString::fromLatin1(refused))) << refused;
    for (const char* address : {"http://127.0.0.1:1/feed.txt", "file:///etc/hostname"}) {
        const FetchResult fetched = fetchSmall(QString::fromLatin1(address), 100, QString());
        EXPECT_FALSE(fetched.ok) << address;
        EXPECT_TRUE(fetched.refused) << address;
        EXPECT_TRUE(fetched.error.contains(QStringLiteral("https://"))) << address;
    }
}

TEST(UpdateDownload, TargetNeverOverwritesOrLeavesTheFolder) {
    QTemporaryDir folder;
    const QString version = QStringLiteral("2.0.0.0");
    const QString first =
        downloadTargetFor(folder.path(), QStringLiteral("https://x/pkg.deb"), version);
    EXPECT_EQ(first, QDir(folder.path()).filePath(QStringLiteral("pkg.deb")));
    QFile(first).open(QIODevice::WriteOnly);
    EXPECT_EQ(downloadTargetFor(folder.path(), QStringLiteral("https://y/a/pkg.deb"), version),
              QDir(folder.path()).filePath(QStringLiteral("pkg (1).deb")));
    ASSERT_TRUE(QFile::link(QStringLiteral("/nonexistent"),
                            QDir(folder.path()).filePath(QStringLiteral("linked.deb"))));
    EXPECT_EQ(downloadTargetFor(folder.path(), QStringLiteral("https://x/linked.deb"), version),
              QDir(folder.path()).filePath(QStringLiteral("linked (1).deb")))
        << "a dangling link is taken too";
    EXPECT_EQ(downloadTargetFor(folder.path(), QStringLiteral("https://x/"), version),
              QDir(folder.path()).filePath(QStringLiteral("kestrune-update-2.0.0.0")));
    EXPECT_EQ(downloadTargetFor(folder.path(), QStringLiteral("https://x/..%2F..%2Fevil"), version)
                  .section(QLatin1Char('/'), 0, -2),
              folder.path());
}

class UpdateDownloadTest : public SignedUpdateFixture {};

TEST_F(UpdateDownloadTest, OwnCacheWhenNotRunningForAnotherUser) {
    QTemporaryDir cache;
    const QByteArray previous = qgetenv("XDG_CACHE_HOME");
    qputenv("XDG_CACHE_HOME", cache.path().toUtf8());
    const DownloadFolder folder = prepareDownloadFolder();
    if (previous.isEmpty())
        qunsetenv("XDG_CACHE_HOME");
    else
        qputenv("XDG_CACHE_HOME", previous);
    EXPECT_EQ(folder.path, cache.path() + QStringLiteral("/kestrune/updates"));
    EXPECT_FALSE(folder.fresh);
    EXPECT_TRUE(QFileInfo(folder.path).isDir());
    removeDownloadFolder(folder);
    EXPECT_TRUE(QFileInfo(folder.path).isDir()) << "the cache stays";
}

TEST_F(UpdateDownloadTest, DownloadsOverHttpsOnlyAndCleansUpOnFailure) {
    const QByteArray package(3 * 1024 * 1024 + 17, 'k');
    writeFile(QStringLiteral("src.deb"), package);
    QTemporaryDir folder;
    std::atomic<bool> cancel{false};
    qint64 last = 0;
    QString error;
    const QString target = QDir(folder.path()).filePath(QStringLiteral("out.deb"));
    ASSERT_TRUE(downloadFile(
        server_->url(QStringLiteral("src.deb")), target, package.size(), kit_->caFile(), cancel,
        [&](qint64 got, qint64) { last = got; }, &error))
        << error.toStdString();
    EXPECT_EQ(QFileInfo(target).size(), package.size());
    EXPECT_EQ(last, package.size());
    EXPECT_EQ(sha256OfFile(target).toLatin1(), sha256(package));

    const QString failed = QDir(folder.path()).filePath(QStringLiteral("failed.deb"));
    struct Case {
        QString address;
        QString caFile;
        bool cancelled;
        bool refused;
        qint64 size = 0; // announced; 0: the file's
        const char* reason = "";
    };
    const Case cases[] = {
        {server_->url(QStringLiteral("src.deb")), kit_->caFile(), true, false},
        {server_->url(QStringLiteral("missing.deb")), kit_->caFile(), false, false},
        {server_->url(QStringLiteral("src.deb")), QString(), false, true},
        {server_->url(QStringLiteral("redirect?to=http://127.0.0.1:1/src.deb")), kit_->caFile(),
         false, true},
        {writeFile(QStringLiteral("local.deb"), "local"), QString(), false, true},
        {QStringLiteral("http://127.0.0.1:1/src.deb"), QString(), false, true},
        // A feed naming a small package must not make the program store a large one.
        {server_->url(QStringLiteral("src.deb")), kit_->caFile(), false, true, 816,
         "more than the 816 bytes"},
        {server_->url(QStringLiteral("src.deb")), kit_->caFile(), false, false, package.size() + 1,
         "ended after"}};
    for (const Case& c : cases) {
        cancel = c.cancelled;
        bool refused = !c.refused;
        EXPECT_FALSE(downloadFile(c.address, failed, c.size ? c.size : package.size(), c.caFile,
                                  cancel, {}, &error, &refused))
            << c.address.toStdString();
        EXPECT_EQ(refused, c.refused) << c.address.toStdString() << ": " << error.toStdString();
        EXPECT_TRUE(error.contains(QLatin1String(c.reason))) << error.toStdString();
        EXPECT_FALSE(QFileInfo::exists(failed)) << c.address.toStdString();
        EXPECT_FALSE(QFileInfo::exists(failed + QStringLiteral(".part")))
            << c.address.toStdString();
    }
}

TEST_F(UpdateComponentTest, ScheduledCheckAnswersTwoOnlyForANewerVersion) {
    publish({.version = QStringLiteral("1.2.3.4")});
    EXPECT_EQ(call(QStringLiteral("1.2.3.3"), 1), 2);
    EXPECT_EQ(call(QStringLiteral("none"), 1), 2);
    EXPECT_EQ(call(QStringLiteral("1.2.3.4"), 1), 0);
    EXPECT_EQ(call(QStringLiteral("1.3.0.0"), 1), 0);
    EXPECT_EQ(call(QStringLiteral("2.0.0.0"), 99), 0) << "unknown modes do nothing";
    EXPECT_TRUE(messages().boxes().empty());
}

TEST_F(UpdateComponentTest, ScheduledCheckAnswersZeroWhenNoFeedCanBeHad) {
    EXPECT_EQ(call(QStringLiteral("none"), 1), 0) << "no feed configured";
    setFeed(server_->url(QStringLiteral("missing.txt")));
    EXPECT_EQ(call(QStringLiteral("none"), 1), 0) << "missing";
    setFeed(QStringLiteral("https://127.0.0.1:1/feed.txt"));
    EXPECT_EQ(call(QStringLiteral("none"), 1), 0) << "unreachable";
    EXPECT_TRUE(messages().boxes().empty());

    // A FIFO in the machine hive's place is no hive, and nobody will ever write to it.
    const QByteArray hive = QFile::encodeName(QDir(registry_.path()).filePath("machine.reg"));
    ASSERT_EQ(::unlink(hive.constData()), 0);
    ASSERT_EQ(::mkfifo(hive.constData(), 0600), 0);
    auto answer =
        std::async(std::launch::async, [this] { return call(QStringLiteral("none"), 1); });
    if (answer.wait_for(std::chrono::seconds(20)) != std::future_status::ready) {
        ::close(::open(hive.constData(), O_WRONLY | O_NONBLOCK));
        FAIL() << "the check waited for a writer of a FIFO hive";
    }
    EXPECT_EQ(answer.get(), 0);
}

TEST_F(UpdateComponentTest, AFeedThatIsNotOursIsRefusedWithItsReason) {
    const QByteArray package = kit_->makePackage(QStringLiteral("kestrune"), QStringLiteral("2.0"));
    writeFile(QStringLiteral("kestrune_2.0_all.deb"), package);
    const QByteArray body = "version=2.0\nurl=kestrune_2.0_all.deb\nsha256=" + sha256(package) +
                            "\nsize=" + QByteArray::number(package.size()) + "\n";
    const QByteArray good = kit_->sign(releaseKey_, body);
    QString strangerPublic;
    const QString stranger = kit_->makeKey(QStringLiteral("stranger"), &strangerPublic);
    TestWebServer plain(files_.path(), nullptr);
    ASSERT_TRUE(plain.unavailable().isEmpty()) << plain.unavailable().toStdString();
    writeFile(QStringLiteral("good.txt"), good);

    struct Case {
        const char* what;
        QByteArray feed;    // published as feed.txt
        QString address;    // empty: feed.txt on the HTTPS server
        const char* reason; // in what goes to standard error
    };
    QByteArray changed = good;
    changed.replace("version=2.0", "version=3.0");
    const Case cases[] = {
        {"plain http", good, plain.url(QStringLiteral("good.txt")), "https://"},
        {"a redirect to http", good,
         server_->url(QStringLiteral("redirect?to=") + plain.url(QStringLiteral("good.txt"))),
         "http"},
        {"a file", good, QStringLiteral("file://") + files_.path() + QStringLiteral("/good.txt"),
         "https://"},
        {"a local path", good, files_.path() + QStringLiteral("/good.txt"), "https://"},
        {"no signature", body, {}, "no signature"},
        {"a wrong signature", changed, {}, "trusted key"},
        {"a wrong key", kit_->sign(stranger, body), {}, "trusted key"},
        {"a package address over http",
         kit_->sign(releaseKey_, "version=2.0\nurl=" + plain.url(QStringLiteral("p.deb")).toUtf8() +
                                     "\nsha256=" + sha256(package) + "\nsize=1\n"),
         {},
         "https://"},
        {"a signed feed with a bad version",
         kit_->sign(releaseKey_, QByteArray(body).replace("version=2.0", "version=2.0_beta")),
         {},
         "not readable"}};
    for (const Case& c : cases) {
        writeFile(QStringLiteral("feed.txt"), c.feed);
        setFeed(c.address.isEmpty() ? server_->url(QStringLiteral("feed.txt")) : c.address);
        QString errors;
        EXPECT_EQ(check(&errors), KESTRUNE_UPDATE_NOT_VERIFIED) << c.what;
        EXPECT_TRUE(errors.contains(QStringLiteral("The update was refused")) &&
                    errors.contains(QLatin1String(c.reason)))
            << c.what << ": " << errors.toStdString();
    }
    EXPECT_TRUE(plain.requests().isEmpty()) << "nothing is fetched over plain http";

    putString(platform::RegistryRoot::LocalMachine, kUpdateKey, QStringLiteral("CaFile"),
              QString());
    setFeed(server_->url(QStringLiteral("good.txt")));
    QString errors;
    EXPECT_EQ(check(&errors), KESTRUNE_UPDATE_NOT_VERIFIED)
        << "a server certificate from an authority the system does not know";
    putString(platform::RegistryRoot::LocalMachine, kUpdateKey, QStringLiteral("CaFile"),
              kit_->caFile());
    EXPECT_EQ(check(&errors), 2) << "the same feed with the authority: " << errors.toStdString();
    putString(platform::RegistryRoot::LocalMachine, kUpdateKey + QStringLiteral("\\TrustedKeys"),
              QStringLiteral("test release"), strangerPublic);
    EXPECT_EQ(check(&errors), KESTRUNE_UPDATE_NOT_VERIFIED) << "its key no longer listed";
    EXPECT_TRUE(messages().boxes().empty()) << "the program, not the component, tells the user";
}

TEST_F(UpdateDialogTest, APackageThatIsNoDebianPackageIsRefused) {
    QString why;
    EXPECT_TRUE(installerCommand(QStringLiteral("/tmp/kestrune.tar.gz.feed"),
                                 QStringLiteral("/tmp/kestrune.tar.gz"), &why)
                    .isEmpty());
    EXPECT_TRUE(why.contains(QStringLiteral("no installer for this kind"))) << why.toStdString();
    const QByteArray archive = "archive";
    writeFile(QStringLiteral("kestrune-2.0.tar.gz"), archive);
    publishFeed(
        kit_->sign(releaseKey_, "version=2.0\nurl=kestrune-2.0.tar.gz\nsha256=" + sha256(archive) +
                                    "\nsize=" + QByteArray::number(archive.size()) + "\n"));
    QString errors;
    EXPECT_EQ(installRefused(QStringLiteral("1.0.0.1"), &errors), KESTRUNE_UPDATE_NOT_VERIFIED);
    EXPECT_TRUE(installed().isEmpty());
    EXPECT_TRUE(errors.contains(QStringLiteral("no Debian package"))) << errors.toStdString();
    EXPECT_TRUE(downloaded().isEmpty()) << downloaded().join(' ').toStdString();
}

TEST_F(UpdateDialogTest, ButtonsShowTheirWholeTextOnTheBand) {
    publish({});
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
    publish({});
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
    EXPECT_TRUE(status.contains(QStringLiteral("kestrune_2.0.0.0_all.deb")))
        << status.toStdString();
    EXPECT_TRUE(
        QFileInfo::exists(QDir(downloads_).filePath(QStringLiteral("kestrune_2.0.0.0_all.deb"))));
}

TEST_F(UpdateDialogTest, AChangedPackageIsRefusedDeletedAndNotInstalled) {
    const Release release;
    const QByteArray package = publish(release);
    QByteArray changed = package;
    changed[changed.size() / 2] = char(changed[changed.size() / 2] ^ 1);
    writeFile(packageFileName(release), changed);
    QString errors;
    EXPECT_EQ(installRefused(QStringLiteral("1.0.0.1"), &errors), KESTRUNE_UPDATE_NOT_VERIFIED);
    EXPECT_TRUE(errors.contains(QStringLiteral("SHA-256"))) << errors.toStdString();
    EXPECT_TRUE(installed().isEmpty());
    EXPECT_TRUE(downloaded().isEmpty()) << downloaded().join(' ').toStdString();
    EXPECT_TRUE(opened().isEmpty());
}

TEST_F(UpdateDialogTest, APackageOfAnotherNameOrVersionIsRefused) {
    struct Case {
        Release release;
        const char* reason;
    };
    const Case cases[] = {{{.packageName = QStringLiteral("kestrune-tools")}, "not \"kestrune\""},
                          {{.packageVersion = QStringLiteral("1.9.0.0")}, "the feed says 2.0.0.0"},
                          {{.packageVersion = QStringLiteral("2.0")}, "the feed says 2.0.0.0"}};
    for (const Case& c : cases) {
        publish(c.release);
        QString errors;
        EXPECT_EQ(installRefused(QStringLiteral("1.0.0.1"), &errors), KESTRUNE_UPDATE_NOT_VERIFIED)
            << c.reason;
        EXPECT_TRUE(errors.contains(QLatin1String(c.reason))) << errors.toStdString();
        EXPECT_TRUE(installed().isEmpty()) << c.reason;
        EXPECT_TRUE(downloaded().isEmpty()) << downloaded().join(' ').toStdString();
    }
}

TEST_F(UpdateDialogTest, ARefusedFeedEndsTheDialogAtOnce) {
    publishFeed("version=2.0\nurl=p.deb\nsha256=" + QByteArray(64, '0') + "\n");
    bool shown = false;
    ::testing::internal::CaptureStderr();
    const int result = runDialog(QStringLiteral("1.0.0.1"), [&](QDialog&) { shown = true; });
    const std::string errors = ::testing::internal::GetCapturedStderr();
    EXPECT_TRUE(shown);
    EXPECT_EQ(result, KESTRUNE_UPDATE_NOT_VERIFIED);
    EXPECT_NE(errors.find("no signature"), std::string::npos) << errors;
    EXPECT_TRUE(installed().isEmpty());
}

TEST_F(UpdateDialogTest, CurrentOlderAndMissingFeedsOfferNoDownload) {
    struct Case {
        const char* version; // null: no feed configured
        const char* expected;
    };
    const Case cases[] = {{"1.0.0.1", "latest version"},
                          {"1.0.0.0", "latest version"},
                          {nullptr, "No update address"}};
    // The dialog's layout is sound: Qt says nothing of its sizes.
    static QStringList warnings;
    warnings.clear();
    const QtMessageHandler previous = qInstallMessageHandler(
        [](QtMsgType type, const QMessageLogContext&, const QString& message) {
            if (type != QtDebugMsg && type != QtInfoMsg &&
                (message.startsWith(QLatin1String("QWidget")) ||
                 message.contains(QLatin1String("QLayout"))))
                warnings << message;
        });
    for (const Case& c : cases) {
        if (c.version)
            publish({.version = QString::fromLatin1(c.version)});
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
    qInstallMessageHandler(previous);
    EXPECT_TRUE(warnings.isEmpty()) << warnings.join(u'\n').toStdString();
    EXPECT_TRUE(opened().isEmpty());
}

} // namespace
