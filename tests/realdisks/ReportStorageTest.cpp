// Reports on storage that fails them: a read-only folder, a full one, and one whose writes
// are accepted but can never reach the disk (fsync fails). None leaves a file behind, and
// the user is asked once for another place.
#include "RealDisks.h"
#include "TestSupport.h"
#include "lang/LanguageManager.h"
#include "shred/ShredReport.h"

#include <QDir>
#include <QFile>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <unistd.h>

using namespace kestrune;
using namespace kestrune::test;

namespace {

class ReportStorage : public ::testing::Test {
protected:
    void SetUp() override {
        if (const QString reason = loopDevicesUnavailable(); !reason.isEmpty())
            GTEST_SKIP() << reason.toStdString();
        registerComponentDirectory(QStringLiteral("VSKLanguage.dll"), binDir());
        language = std::make_shared<LanguageManager>();
        ASSERT_TRUE(language->HasLanguages());
        ShredReport::setSaveFileAsker([this](const QString&) {
            ++asked;
            return QString();
        });
    }
    void TearDown() override {
        ShredReport::setSaveFileAsker({});
        loop.reset();
        for (auto it = mounts.rbegin(); it != mounts.rend(); ++it)
            ::umount2(QFile::encodeName(*it).constData(), MNT_DETACH);
    }

    // A tmpfs of this size at a fresh folder.
    QString mountTmpfs(const char* options) {
        folders.push_back(std::make_unique<QTemporaryDir>());
        const QString path = folders.back()->path();
        if (::mount("tmpfs", QFile::encodeName(path).constData(), "tmpfs", 0, options) != 0)
            return {};
        mounts.push_back(path);
        return path;
    }
    static void fill(const QString& folder) {
        QFile filler(folder + QStringLiteral("/filler"));
        if (!filler.open(QIODevice::WriteOnly))
            return;
        const QByteArray page(4096, 'f');
        while (filler.write(page) == page.size() && filler.flush()) {
        }
    }
    void useLogFolder(const QString& folder) {
        writeRegistryString(platform::RegistryRoot::LocalMachine, productKey("\\Settings"),
                            QStringLiteral("LogPath"), folder);
    }
    static QStringList reportsIn(const QString& folder) {
        return QDir(folder).entryList({QStringLiteral("*.xml")}, QDir::Files);
    }
    void expectNothingWrittenAndOneQuestion(const QString& folder) {
        ShredReport report(100, language);
        report.addHardwareItems(QStringLiteral("1"), QStringLiteral("Acme"),
                                QStringLiteral("Stick"), QStringLiteral("0.01"),
                                QStringLiteral("USB"));
        EXPECT_EQ(report.finish(), 0);
        EXPECT_EQ(asked, 1);
        EXPECT_TRUE(reportsIn(folder).isEmpty()) << reportsIn(folder).join(' ').toStdString();
    }

    ScopedRegistry registry;
    std::shared_ptr<LanguageManager> language;
    int asked = 0;
    std::vector<std::unique_ptr<QTemporaryDir>> folders;
    std::vector<QString> mounts;
    std::unique_ptr<LoopDisk> loop;
};

} // namespace

TEST_F(ReportStorage, AReadOnlyFolderGetsNoFile) {
    const QString folder = mountTmpfs("size=1m");
    ASSERT_FALSE(folder.isEmpty());
    ASSERT_EQ(::mount(nullptr, QFile::encodeName(folder).constData(), nullptr,
                      MS_REMOUNT | MS_RDONLY, nullptr),
              0);
    useLogFolder(folder);
    expectNothingWrittenAndOneQuestion(folder);
}

TEST_F(ReportStorage, AFullFolderGetsNoEmptyOrPartialFile) {
    const QString folder = mountTmpfs("size=64k");
    ASSERT_FALSE(folder.isEmpty());
    fill(folder);
    useLogFolder(folder);
    expectNothingWrittenAndOneQuestion(folder);
}

// A file system whose disk has no room left behind its cache: writes succeed, fsync fails.
TEST_F(ReportStorage, AReportThatCannotBeMadeDurableIsWrittenOnceAndRemoved) {
    if (QStandardPaths::findExecutable(QStringLiteral("mkfs.ext2"),
                                       {QStringLiteral("/usr/sbin"), QStringLiteral("/sbin")})
            .isEmpty())
        GTEST_SKIP() << "needs e2fsprogs";
    const QString backing = mountTmpfs("size=3m");
    ASSERT_FALSE(backing.isEmpty());
    const QString image = backing + QStringLiteral("/disk.img");
    ASSERT_EQ(runProgram(QStringLiteral("truncate"),
                         {QStringLiteral("-s"), QStringLiteral("32M"), image}),
              0);
    loop = std::make_unique<LoopDisk>(image);
    ASSERT_TRUE(loop->attached());
    ASSERT_EQ(runProgram(QStringLiteral("mkfs.ext2"),
                         {QStringLiteral("-q"), QStringLiteral("-E"),
                          QStringLiteral("lazy_itable_init=1"), loop->device()}),
              0);
    folders.push_back(std::make_unique<QTemporaryDir>());
    const QString folder = folders.back()->path();
    ASSERT_EQ(::mount(QFile::encodeName(loop->device()).constData(),
                      QFile::encodeName(folder).constData(), "ext2", 0, "errors=continue"),
              0);
    mounts.push_back(folder);
    fill(backing);
    // Use up what the backing file already holds, until a new file cannot be made durable.
    // The probes stay: blocks they freed would be taken again by the report, and their
    // backing pages exist already.
    bool failing = false;
    for (int i = 0; i < 20 && !failing; ++i) {
        const QByteArray probe = QFile::encodeName(folder + QStringLiteral("/probe-%1").arg(i));
        const int fd = ::open(probe.constData(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ASSERT_GE(fd, 0);
        const QByteArray data(4096, 'p');
        ASSERT_EQ(::write(fd, data.constData(), data.size()), data.size());
        failing = ::fsync(fd) != 0;
        ::close(fd);
    }
    if (!failing)
        GTEST_SKIP() << "the loop device absorbed every write";
    useLogFolder(folder);
    expectNothingWrittenAndOneQuestion(folder);
}
