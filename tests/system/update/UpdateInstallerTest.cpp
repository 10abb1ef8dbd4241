#include "TestUser.h"
#include "UpdateTestKit.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>

#include <csignal>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace kestrune;
using namespace kestrune::test;

namespace {

// The installer as pkexec starts it, built with a stand-in apt-get that prints what it got.
class UpdateInstallerTest : public SignedUpdateFixture {
protected:
    void SetUp() override {
        if (::geteuid() != 0)
            GTEST_SKIP() << "the installer runs as root";
        SignedUpdateFixture::SetUp();
    }

    struct Files {
        QString feed;
        QString package;
        QByteArray sha256;
    };
    // A package and a signed feed for it in folder, each detail of the feed as given.
    Files release(const QString& folder, const QByteArray& package, const QByteArray& version,
                  qint64 sizeChange = 0, QByteArray hash = {}, QString key = {}) {
        const Files files{QDir(folder).filePath(QStringLiteral("kestrune_all.deb.feed")),
                          QDir(folder).filePath(QStringLiteral("kestrune_all.deb")),
                          sha256(package)};
        save(files.package, package);
        const QByteArray feed = "version=" + version + "\nurl=kestrune_all.deb\nsha256=" +
                                (hash.isEmpty() ? files.sha256 : hash) +
                                "\nsize=" + QByteArray::number(package.size() + sizeChange) + "\n";
        save(files.feed, kit_->sign(key.isEmpty() ? releaseKey_ : key, feed));
        return files;
    }

    static void save(const QString& path, const QByteArray& bytes) {
        QFile file(path);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        ASSERT_EQ(file.write(bytes), bytes.size());
    }

    struct Run {
        int code = -1;
        QString out;
        QString errors;
        // What the stand-in apt-get was given, when it ran.
        QString aptLine(const char* field) const {
            for (const QString& line : out.split(QLatin1Char('\n')))
                if (line.startsWith(QLatin1String(field) + QLatin1String(": ")))
                    return line.mid(int(std::strlen(field)) + 2);
            return {};
        }
    };
    // pkexec leaves the installer nothing of the caller's environment but PKEXEC_UID; the
    // machine hive with the test's release key comes through the registry folder.
    Run install(const Files& files, std::optional<uid_t> forUser = std::nullopt) {
        QProcessEnvironment environment;
        environment.insert(QStringLiteral("KESTRUNE_REGISTRY_DIR"), registry_.path());
        environment.insert(QStringLiteral("CALLERS_OWN"), QStringLiteral("marker"));
        if (forUser)
            environment.insert(QStringLiteral("PKEXEC_UID"), QString::number(*forUser));
        QProcess installer;
        installer.setProcessEnvironment(environment);
        installer.start(QStringLiteral(KESTRUNE_RECORDING_INSTALLER), {files.feed, files.package});
        Run run;
        if (!installer.waitForFinished(60000) || installer.exitStatus() != QProcess::NormalExit) {
            installer.kill();
            installer.waitForFinished();
            ADD_FAILURE() << "the installer did not finish";
            return run;
        }
        run.code = installer.exitCode();
        run.out = QString::fromUtf8(installer.readAllStandardOutput());
        run.errors = QString::fromUtf8(installer.readAllStandardError());
        return run;
    }
};

// Each run as the test user, whose folder holds the feed and the package.
TEST_F(UpdateInstallerTest, RefusesWhatTheSignedFeedDoesNotVouchForAndNeverCallsApt) {
    SudoingTestUser user;
    if (!user.unavailable().isEmpty())
        GTEST_SKIP() << user.unavailable().toStdString();
    QString strangerPublic;
    const QString stranger = kit_->makeKey(QStringLiteral("stranger"), &strangerPublic);
    auto package = [this](const char* name, const char* version) {
        return kit_->makePackage(QString::fromLatin1(name), QString::fromLatin1(version));
    };
    const QByteArray good = package("kestrune", "99.0.0.1");
    enum Tweak { None, Link, RootsOnly };
    struct Case {
        QByteArray package;
        QByteArray version;
        qint64 sizeChange;
        QByteArray hash;
        QString key;
        Tweak tweak;
        QByteArray reason;
    };
    const Case cases[] = {
        {good, "99.0.0.1", 0, {}, stranger, None, "not one of a trusted key"},
        {good, "99.0.0.1", 0, sha256(package("kestrune", "99.0.0.2")), {}, None, "SHA-256"},
        {good, "99.0.0.1", 1, {}, {}, None, "the feed says " + QByteArray::number(good.size() + 1)},
        {package("kestrune-tools", "99.0.0.1"), "99.0.0.1", 0, {}, {}, None, "not \"kestrune\""},
        {good, "99.0.0.2", 0, {}, {}, None, "the feed says 99.0.0.2"},
        {package("kestrune", "0.0.1"), "0.0.1", 0, {}, {}, None, "not newer"},
        // Root reads nothing for the user that the user could not: no link is followed,
        // and a file only root may read stays unread.
        {good, "99.0.0.1", 0, {}, {}, Link, "is a link"},
        {good, "99.0.0.1", 0, {}, {}, RootsOnly, "could not be opened"}};
    for (const Case& c : cases) {
        const QString folder = QDir(user.home()).filePath(QString::fromLatin1(c.reason.toHex()));
        ASSERT_TRUE(QDir().mkpath(folder));
        const Files files = release(folder, c.package, c.version, c.sizeChange, c.hash, c.key);
        const QByteArray path = QFile::encodeName(files.package);
        if (c.tweak == Link) {
            ASSERT_EQ(::rename(path.constData(), (path + ".real").constData()), 0);
            ASSERT_EQ(::symlink((path + ".real").constData(), path.constData()), 0);
        }
        if (c.tweak == RootsOnly) {
            ASSERT_EQ(::chmod(path.constData(), 0600), 0);
        }
        const Run run = install(files, user.uid());
        EXPECT_EQ(run.code, 2) << c.reason.constData();
        EXPECT_TRUE(run.errors.startsWith(QStringLiteral("The update was refused")) &&
                    run.errors.contains(QString::fromUtf8(c.reason)))
            << c.reason.constData() << ": " << run.errors.toStdString();
        EXPECT_EQ(run.errors.count(QLatin1Char('\n')), 1)
            << "one line: " << run.errors.toStdString();
        EXPECT_FALSE(run.out.contains(QStringLiteral("apt-get"))) << c.reason.constData();
    }
}

// The user who started the installation keeps swapping another package in while it runs:
// apt only ever gets the package the signed feed names.
TEST_F(UpdateInstallerTest, APackageSwappedDuringTheInstallationNeverReachesApt) {
    SudoingTestUser user;
    if (!user.unavailable().isEmpty())
        GTEST_SKIP() << user.unavailable().toStdString();
    const QByteArray good =
        kit_->makePackage(QStringLiteral("kestrune"), QStringLiteral("99.0.0.1"));
    const QByteArray evil =
        kit_->makePackage(QStringLiteral("kestrune"), QStringLiteral("99.0.0.1-evil"));
    ASSERT_NE(sha256(good), sha256(evil));
    const Files files = release(user.home(), good, "99.0.0.1");
    const QString goodSource = files.package + QStringLiteral(".good");
    const QString evilSource = files.package + QStringLiteral(".evil");
    save(goodSource, good);
    save(evilSource, evil);
    for (const QString& path : {files.feed, files.package, goodSource, evilSource})
        ASSERT_EQ(::chown(QFile::encodeName(path).constData(), user.uid(), user.gid()), 0);

    const QByteArray target = QFile::encodeName(files.package);
    const QByteArray spare = target + ".swap";
    const QByteArray goodPath = QFile::encodeName(goodSource);
    const QByteArray evilPath = QFile::encodeName(evilSource);
    const pid_t swapper = ::fork();
    ASSERT_GE(swapper, 0);
    if (swapper == 0) {
        if (::setgid(user.gid()) != 0 || ::setuid(user.uid()) != 0)
            ::_exit(1);
        for (;;)
            for (const char* source : {evilPath.constData(), goodPath.constData()}) {
                ::unlink(spare.constData());
                if (::link(source, spare.constData()) == 0)
                    ::rename(spare.constData(), target.constData());
            }
    }
    int installed = 0, refused = 0;
    for (int round = 0; round < 24; ++round) {
        const Run run = install(files, user.uid());
        if (run.code == 0) {
            ++installed;
            EXPECT_EQ(run.aptLine("apt-get-sha256").toLatin1(), sha256(good)) << "round " << round;
            // apt gets root's copy, which goes afterwards, and nothing of the caller's.
            const QString copy = run.aptLine("apt-get-file");
            EXPECT_TRUE(copy.startsWith(QStringLiteral("/var/cache/kestrune/install-")) &&
                        copy.endsWith(QStringLiteral(".deb")))
                << copy.toStdString();
            EXPECT_FALSE(QFileInfo::exists(QFileInfo(copy).path()));
            EXPECT_TRUE(run.aptLine("apt-get-args").startsWith(QStringLiteral("install --yes ")));
            const QString environment = run.aptLine("apt-get-env");
            EXPECT_TRUE(
                environment.contains(QStringLiteral("DEBIAN_FRONTEND=noninteractive")) &&
                environment.contains(QStringLiteral("PATH=/usr/sbin:/usr/bin:/sbin:/bin")) &&
                !environment.contains(QStringLiteral("CALLERS_OWN")) &&
                !environment.contains(QStringLiteral("PKEXEC_UID")))
                << environment.toStdString();
        } else {
            ++refused;
            EXPECT_EQ(run.code, 2) << run.errors.toStdString();
            // Refused as the other package: by its size or by its hash.
            EXPECT_TRUE(run.errors.contains(QStringLiteral("has %1 bytes").arg(evil.size())) ||
                        run.errors.contains(QStringLiteral("SHA-256")))
                << "round " << round << ": " << run.errors.toStdString();
            EXPECT_FALSE(run.out.contains(QStringLiteral("apt-get"))) << "round " << round;
        }
    }
    ::kill(swapper, SIGKILL);
    ::waitpid(swapper, nullptr, 0);
    EXPECT_GT(installed, 0) << "the good package was never installed: the test proves nothing";
    RecordProperty("refused", refused);
}

} // namespace
