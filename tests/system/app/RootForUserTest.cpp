// A user who started the program as root through sudo attacks it from their own folders:
// links planted where it writes, a folder swapped for a link while it writes, a name of
// root's typed into the save dialog, a settings or disk folder of their own named in the
// environment. Nothing of root's may change, and nothing may be loaded from the user.
#include "LanguageComponent.h"
#include "RealDisks.h"
#include "TestSupport.h"
#include "TestUser.h"
#include "app/SystemUtil.h"
#include "base/TrustedPath.h"
#include "lang/LanguageManager.h"
#include "platform/DiskEnumerator.h"
#include "platform/Module.h"
#include "platform/Registry.h"
#include "platform/linux/FileRegistry.h"
#include "shred/ShredReport.h"
#include "shredengine/DiskAccess.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <csignal>
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <stdio.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace kestrune;
using platform::RegistryRoot;

namespace {

class RootForUserTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!user_.unavailable().isEmpty())
            GTEST_SKIP() << user_.unavailable().toStdString();
        home_ = user_.home();
        // A folder of root's as the system has them, that the user can see into.
        ASSERT_TRUE(roots_.isValid());
        ASSERT_EQ(::chmod(QFile::encodeName(roots_.path()).constData(), 0755), 0);
        ShredReport::setSaveFileAsker([this](const QString&) {
            const QString next = names_.isEmpty() ? QString() : names_.takeFirst();
            ++asked_;
            return next;
        });
    }
    void TearDown() override { ShredReport::setSaveFileAsker({}); }

    // Folders below the home, each the user's, as they would make them.
    QString usersFolder(const QString& relative) const {
        QString path = home_;
        for (const QString& part : relative.split(u'/')) {
            path += u'/' + part;
            EXPECT_TRUE(QDir().mkpath(path));
            EXPECT_EQ(::chown(QFile::encodeName(path).constData(), user_.uid(), user_.gid()), 0);
        }
        return path;
    }
    void plantLink(const QString& target, const QString& link) const {
        ASSERT_TRUE(QFile::link(target, link)) << link.toStdString();
        ASSERT_EQ(::lchown(QFile::encodeName(link).constData(), user_.uid(), user_.gid()), 0);
    }
    QString rootsFile(const char* name, const QByteArray& content) const {
        const QString path = roots_.filePath(QString::fromLatin1(name));
        QFile file(path);
        EXPECT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(content);
        return path;
    }
    // Each entry below root's folder with its owner and size, one a line.
    std::string rootsTree() const {
        QStringList entries;
        QDirIterator it(roots_.path(),
                        QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                        QDirIterator::Subdirectories);
        while (it.hasNext()) {
            const QString path = it.next();
            struct stat info {};
            ::lstat(QFile::encodeName(path).constData(), &info);
            entries << QStringLiteral("%1 uid=%2 size=%3")
                           .arg(path.mid(roots_.path().size()))
                           .arg(info.st_uid)
                           .arg(S_ISDIR(info.st_mode) ? 0 : info.st_size);
        }
        entries.sort();
        return entries.join(u'\n').toStdString();
    }
    static int writeFlag() {
        return platform::registry().write(
            RegistryRoot::CurrentUser, QStringLiteral("Software\\Vaskor Security\\Test"),
            QStringLiteral("Flag"),
            platform::RegistryValue{platform::REG_DWORD_TYPE, QByteArray("\x01\0\0\0", 4)});
    }
    // The language texts the reports need, from root's registry folder.
    std::shared_ptr<LanguageManager> language() {
        const std::string why =
            platform::UntrustedPathReason(QFile::encodeName(test::binDir()).toStdString());
        if (!why.empty()) {
            ADD_FAILURE() << "root working for a user loads no component from the build: " << why;
            return {};
        }
        test::registerComponentDirectory(QStringLiteral("VSKLanguage.dll"), test::binDir());
        auto manager = std::make_shared<LanguageManager>();
        EXPECT_TRUE(manager->HasLanguages());
        return manager;
    }
    void useLogFolder(const QString& folder) {
        test::writeRegistryString(RegistryRoot::LocalMachine, test::productKey("\\Settings"),
                                  QStringLiteral("LogPath"), folder);
    }

    test::SudoingTestUser user_;
    QString home_;
    QTemporaryDir roots_;
    QStringList names_; // the answers of the save dialog, in turn
    int asked_ = 0;
};

// The user's own process: exchanges a folder of theirs with a link until it is killed.
pid_t startSwapping(const QString& folder, const QString& link, uid_t uid, gid_t gid) {
    const QByteArray from = QFile::encodeName(folder);
    const QByteArray to = QFile::encodeName(link);
    const pid_t child = ::fork();
    if (child != 0)
        return child;
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::setgroups(0, nullptr) != 0 || ::setresgid(gid, gid, gid) != 0 ||
        ::setresuid(uid, uid, uid) != 0)
        ::_exit(2);
    for (;;)
        ::renameat2(AT_FDCWD, from.constData(), AT_FDCWD, to.constData(), RENAME_EXCHANGE);
}

} // namespace

TEST_F(RootForUserTest, ALinkInPlaceOfTheLockFileCreatesNothingElsewhere) {
    const QString folder = usersFolder(QStringLiteral(".config/kestrune"));
    const QString target = roots_.filePath(QStringLiteral("made-by-root"));
    plantLink(target, folder + "/user.reg.lock");
    EXPECT_NE(writeFlag(), platform::REGISTRY_OK);
    EXPECT_FALSE(QFileInfo::exists(target));
    EXPECT_TRUE(QFileInfo(folder + "/user.reg.lock").isSymLink());
    EXPECT_FALSE(QFileInfo::exists(folder + "/user.reg"));
}

TEST_F(RootForUserTest, ALinkInPlaceOfTheHiveNeverReplacesRootsFile) {
    const QString folder = usersFolder(QStringLiteral(".config/kestrune"));
    const QString victim = rootsFile("victim", QByteArray());
    plantLink(victim, folder + "/user.reg");
    const std::string before = rootsTree();
    EXPECT_NE(writeFlag(), platform::REGISTRY_OK);
    EXPECT_EQ(rootsTree(), before);
    EXPECT_TRUE(QFileInfo(folder + "/user.reg").isSymLink());
    EXPECT_FALSE(platform::registry()
                     .read(RegistryRoot::CurrentUser,
                           QStringLiteral("Software\\Vaskor Security\\Test"),
                           QStringLiteral("Flag"))
                     .has_value());
}

TEST_F(RootForUserTest, ALinkedSettingsFolderKeepsTheLanguageChoiceOutOfRootsFolder) {
    usersFolder(QStringLiteral(".config"));
    plantLink(roots_.path(), home_ + "/.config/kestrune");
    EXPECT_FALSE(language::storeChoice(u"DE"));
    EXPECT_NE(writeFlag(), platform::REGISTRY_OK);
    EXPECT_EQ(rootsTree(), "");
}

TEST_F(RootForUserTest, ALinkedDataFolderKeepsTheReportsOutOfRootsFolder) {
    test::ScopedRegistry registry;
    const auto texts = language();
    ASSERT_TRUE(texts);
    usersFolder(QStringLiteral(".local/share"));
    plantLink(roots_.path(), home_ + "/.local/share/Vaskor Security");
    ShredReport report(100, texts);
    EXPECT_EQ(report.finish(), 0) << "the user was asked for another name and gave none";
    EXPECT_EQ(asked_, 1);
    EXPECT_EQ(rootsTree(), "");
}

TEST_F(RootForUserTest, AFolderSwappedForALinkWhileRootWritesHandsNothingOver) {
    test::ScopedRegistry registry;
    const auto texts = language();
    ASSERT_TRUE(texts);
    // Root's folders that a hand-over by name would give away, one per round.
    constexpr int kRounds = 60;
    for (int round = 0; round < kRounds; ++round)
        ASSERT_TRUE(QDir(roots_.path()).mkdir(QStringLiteral("round%1").arg(round)));
    const std::string before = rootsTree();
    const QString reports = usersFolder(QStringLiteral("reports"));
    const QString decoy = home_ + QStringLiteral("/decoy");
    plantLink(roots_.path(), decoy);

    const pid_t swapper = startSwapping(reports, decoy, user_.uid(), user_.gid());
    ASSERT_GT(swapper, 0);
    for (int round = 0; round < kRounds; ++round) {
        useLogFolder(QStringLiteral("%1/round%2/Logs").arg(reports).arg(round));
        ShredReport report(100, texts);
        report.finish();
    }
    ::kill(swapper, SIGKILL);
    int status = 0;
    ::waitpid(swapper, &status, 0);
    EXPECT_TRUE(WIFSIGNALED(status)) << "the user's process could not start swapping";
    const std::string after = rootsTree();
    EXPECT_EQ(after.find(QStringLiteral("uid=%1 ").arg(user_.uid()).toStdString()),
              std::string::npos)
        << "a folder of root's was handed to the user";
    EXPECT_EQ(after, before);
}

TEST_F(RootForUserTest, ANameTypedIntoTheSaveDialogIsWrittenWithTheUsersRights) {
    test::ScopedRegistry registry;
    const auto texts = language();
    ASSERT_TRUE(texts);
    // The report folder cannot be made: a file of the user's is in its way.
    usersFolder(QStringLiteral(".local/share"));
    QFile blocker(home_ + "/.local/share/Vaskor Security");
    ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
    blocker.close();

    const QString victim = rootsFile("victim.xml", "root's own");
    const QString older = home_ + "/older.xml";
    QFile olderFile(older);
    ASSERT_TRUE(olderFile.open(QIODevice::WriteOnly));
    olderFile.write("older");
    olderFile.close();
    ASSERT_EQ(::chown(QFile::encodeName(older).constData(), user_.uid(), user_.gid()), 0);

    names_ = {victim, older};
    ShredReport report(100, texts);
    ASSERT_EQ(report.finish(), 1);
    EXPECT_EQ(asked_, 2) << "root's file could not be written, so the user was asked again";
    QFile kept(victim);
    ASSERT_TRUE(kept.open(QIODevice::ReadOnly));
    EXPECT_EQ(kept.readAll(), QByteArray("root's own"));
    EXPECT_EQ(report.writtenPath(), older);
    EXPECT_TRUE(report.replacedOlderFile());
    const auto owner = test::ownerOf(older);
    ASSERT_TRUE(owner.has_value());
    EXPECT_EQ(owner->uid, user_.uid());
    QFile written(older);
    ASSERT_TRUE(written.open(QIODevice::ReadOnly));
    EXPECT_EQ(written.readAll(), report.body().toUtf8());
}

TEST_F(RootForUserTest, NothingIsLoadedThroughARegistryFolderOfTheUsers) {
    const QString settings = usersFolder(QStringLiteral("settings"));
    const QString components = usersFolder(QStringLiteral("components"));
    const QString component = components + "/VSKLanguage.dll";
    ASSERT_TRUE(QFile::copy(test::binDir() + "/VSKLanguage.dll", component));
    QFile hive(settings + "/machine.reg");
    ASSERT_TRUE(hive.open(QIODevice::WriteOnly));
    hive.write("Windows Registry Editor Version 5.00\n\n"
               "[HKEY_LOCAL_MACHINE\\Software\\Vaskor Security\\Paths\\DLLs]\n"
               "\"VSKLanguage.dll\"=\"" +
               QFile::encodeName(components) + "\"\n");
    hive.close();
    for (const QString& file : {component, hive.fileName()})
        ASSERT_EQ(::chown(QFile::encodeName(file).constData(), user_.uid(), user_.gid()), 0);

    const test::ScopedEnvironment named("KESTRUNE_REGISTRY_DIR", QFile::encodeName(settings));
    EXPECT_EQ(SystemUtil().GetComponentDirectory(QStringLiteral("VSKLanguage.dll")), QString());
    EXPECT_NE(writeFlag(), platform::REGISTRY_OK);
    EXPECT_FALSE(QFileInfo::exists(settings + "/user.reg"));
    // However the file is named, root does not load it from the user's folder.
    EXPECT_EQ(platform::Module::load(component), nullptr);
}

TEST_F(RootForUserTest, NoImageInADiskFolderOfTheUsersIsListedOrWritten) {
    const QString disks = usersFolder(QStringLiteral("disks"));
    const QString image = disks + "/stick.img";
    const QByteArray content(1 << 20, 'K');
    QFile file(image);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(content);
    file.close();
    struct stat info {};
    ASSERT_EQ(::stat(QFile::encodeName(image).constData(), &info), 0);
    KestruneDiskIdentity identity{};
    std::snprintf(identity.path, sizeof identity.path, "%s", QFile::encodeName(image).constData());
    identity.devt = info.st_dev;
    identity.diskseq = info.st_ino;
    identity.simulated = 1;

    {
        const test::ScopedEnvironment named("KESTRUNE_SIMULATED_DISKS", QFile::encodeName(disks));
        EXPECT_TRUE(platform::createDiskEnumerator()->removableDisks().empty());
        EXPECT_EQ(engine::shredDisk(identity, 0, engine::ALGORITHM_ZERO, nullptr, nullptr, nullptr),
                  SHRED_STATUS_FAILED_MEDIA);
        QFile after(image);
        ASSERT_TRUE(after.open(QIODevice::ReadOnly));
        EXPECT_EQ(after.readAll(), content);
    }
    // A folder of root's alone is no user's doing, but an image of root's in it is still
    // nothing root may erase for them: only one the user could write without root.
    const QString rootsImage = roots_.filePath(QStringLiteral("stick.img"));
    ASSERT_TRUE(QFile::rename(image, rootsImage));
    ASSERT_EQ(::chmod(QFile::encodeName(roots_.path()).constData(), 0700), 0);
    std::snprintf(identity.path, sizeof identity.path, "%s",
                  QFile::encodeName(rootsImage).constData());
    const test::ScopedEnvironment named("KESTRUNE_SIMULATED_DISKS",
                                        QFile::encodeName(roots_.path()));
    EXPECT_TRUE(platform::createDiskEnumerator()->removableDisks().empty());
    EXPECT_EQ(engine::shredDisk(identity, 0, engine::ALGORITHM_ZERO, nullptr, nullptr, nullptr),
              SHRED_STATUS_FAILED_PERMISSION);
    QFile after(rootsImage);
    ASSERT_TRUE(after.open(QIODevice::ReadOnly));
    EXPECT_EQ(after.readAll(), content);
    // Handed to the user, as the demo does under sudo, it is their stick.
    ASSERT_EQ(::chmod(QFile::encodeName(roots_.path()).constData(), 0755), 0);
    ASSERT_EQ(::chown(QFile::encodeName(rootsImage).constData(), user_.uid(), user_.gid()), 0);
    EXPECT_EQ(platform::createDiskEnumerator()->removableDisks().size(), 1u);
}
