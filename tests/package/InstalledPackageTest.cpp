// The Debian package, unpacked into a fresh folder, is complete and runs: the installed
// program finds its components and language files through its machine hive and lists a
// simulated disk, with nothing from the build tree.
#include "ProgramRun.h"
#include "TestSupport.h"
#include "base/SharedObjectCheck.h"
#include "platform/Module.h"
#include "platform/linux/FileRegistry.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <gtest/gtest.h>

using namespace kestrune;

namespace {

const QString kComponentDir = QStringLiteral(KESTRUNE_PACKAGED_COMPONENT_DIR);
const QString kInstalledAppId = QStringLiteral(KESTRUNE_PACKAGED_APP_ID);
const QStringList kComponents = {QStringLiteral("VSKLanguage.dll"),
                                 QStringLiteral("VSKRemovableShredder.dll"),
                                 QStringLiteral("VSKUpdate.dll")};

QString run(const QString& program, const QStringList& args, int* exitCode = nullptr) {
    QProcess process;
    process.start(program, args);
    process.waitForFinished(120000);
    if (exitCode)
        *exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    return QString::fromUtf8(process.readAllStandardOutput() + process.readAllStandardError());
}

QByteArray read(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

class InstalledPackageTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (QStandardPaths::findExecutable(QStringLiteral("dpkg-deb")).isEmpty())
            GTEST_SKIP() << "dpkg-deb is not installed";
        const QString arch = run(QStringLiteral("dpkg"), {"--print-architecture"}).trimmed();
        deb_ = QDir(QStringLiteral(KESTRUNE_PACKAGE_DIR))
                   .filePath(QStringLiteral("kestrune_%1_%2.deb")
                                 .arg(QStringLiteral(KESTRUNE_PACKAGE_VERSION), arch));
        if (!QFileInfo::exists(deb_))
            GTEST_SKIP() << "no package at " << deb_.toStdString() << " (script/package builds it)";
        if (QFileInfo(deb_).lastModified() <
            QFileInfo(QStringLiteral(KESTRUNE_PACKAGED_PROGRAM)).lastModified())
            GTEST_SKIP() << "the package is older than the build (script/package renews it)";
        int code = 0;
        const QString said = run(QStringLiteral("dpkg-deb"), {"-x", deb_, root_.path()}, &code);
        ASSERT_EQ(code, 0) << said.toStdString();
    }
    QString inRoot(const QString& path) const { return root_.path() + path; }

    // The packaged machine hive with its component folders moved into the unpacked tree.
    QString relocatedRegistry() {
        QByteArray hive = read(inRoot("/etc/kestrune/machine.reg"));
        hive.replace("=\"" + kComponentDir.toUtf8(), "=\"" + inRoot(kComponentDir).toUtf8());
        QFile out(QDir(registry_.path()).filePath("machine.reg"));
        EXPECT_TRUE(out.open(QIODevice::WriteOnly));
        out.write(hive);
        return registry_.path();
    }

    QString deb_;
    QTemporaryDir root_;
    QTemporaryDir registry_;
};

} // namespace

TEST_F(InstalledPackageTest, HoldsTheDesktopApplicationsFiles) {
    for (const QString& path :
         {QStringLiteral("/usr/bin/kestrune"), QStringLiteral("/usr/bin/kestrune-cli"),
          QStringLiteral("/etc/kestrune/machine.reg"),
          "/usr/share/applications/" + kInstalledAppId + ".desktop",
          "/usr/share/metainfo/" + kInstalledAppId + ".metainfo.xml",
          "/usr/share/icons/hicolor/48x48/apps/" + kInstalledAppId + ".png",
          "/usr/share/icons/hicolor/256x256/apps/" + kInstalledAppId + ".png",
          QStringLiteral("/usr/share/man/man1/kestrune.1.gz"),
          QStringLiteral("/usr/share/man/man1/kestrune-cli.1.gz"),
          QStringLiteral("/usr/share/doc/kestrune/copyright"),
          QStringLiteral("/usr/share/doc/kestrune/changelog.gz"),
          kComponentDir + "/libkestrune_disknumbers.so",
          kComponentDir + "/VSKLanguageKestrune_NTV.dll",
          kComponentDir + "/VSKLanguageKestrune_DE.dll",
          kComponentDir + "/kestrune-install-update"})
        EXPECT_TRUE(QFileInfo(inRoot(path)).isFile()) << path.toStdString();
    // pkexec grants the installer's own action only at the path the action names.
    const QByteArray policy =
        read(inRoot("/usr/share/polkit-1/actions/" + kInstalledAppId + ".install-update.policy"));
    EXPECT_TRUE(policy.contains("<annotate key=\"org.freedesktop.policykit.exec.path\">" +
                                (kComponentDir + "/kestrune-install-update").toUtf8() +
                                "</annotate>"))
        << policy.constData();
    for (const QString& component : kComponents)
        EXPECT_TRUE(QFileInfo(inRoot(kComponentDir + "/" + component)).isFile())
            << component.toStdString();

    // The machine hive registers the private folder for every component.
    const auto hive = platform::parseHive(read(inRoot("/etc/kestrune/machine.reg")));
    ASSERT_TRUE(hive.has_value());
    for (const QString& component : kComponents) {
        const auto* value = hive->findValue(
            QStringLiteral("HKEY_LOCAL_MACHINE\\Software\\Vaskor Security\\Paths\\DLLs"),
            component);
        ASSERT_NE(value, nullptr) << component.toStdString();
        EXPECT_EQ(value->value.data,
                  QByteArray(reinterpret_cast<const char*>(kComponentDir.utf16()),
                             (kComponentDir.size() + 1) * 2));
    }
    // Its switches are there for the administrator, but none is on.
    for (const char* name :
         {"HideSettings", "HideUpdate", "LogPath", "FeedUrl", "Organisation", "Location"})
        EXPECT_TRUE(read(inRoot("/etc/kestrune/machine.reg")).contains(name)) << name;
    EXPECT_EQ(hive->keys.size(), 1u);

    const QString control = run(QStringLiteral("dpkg-deb"), {"--info", deb_, "conffiles"});
    EXPECT_TRUE(control.contains(QStringLiteral("/etc/kestrune/machine.reg")))
        << "the machine hive is a conffile";
    const QString depends = run(QStringLiteral("dpkg-deb"), {"--field", deb_, "Depends"});
    for (const char* needed : {"dosfstools", "util-linux", "libqt6widgets6", "libc6"})
        EXPECT_TRUE(depends.contains(QString::fromLatin1(needed))) << depends.toStdString();
    // A hard dependency on polkit pulls in systemd, which a purge leaves behind.
    for (const char* recommended : {"udisks2", "polkitd", "pkexec"})
        EXPECT_FALSE(depends.contains(QString::fromLatin1(recommended))) << depends.toStdString();
    const QString recommends = run(QStringLiteral("dpkg-deb"), {"--field", deb_, "Recommends"});
    EXPECT_EQ(recommends.trimmed(), QStringLiteral("udisks2, polkitd, pkexec"));
}

TEST_F(InstalledPackageTest, NoFileNamesTheBuildTreeAndEveryObjectLoads) {
    const QByteArray build =
        QFileInfo(QStringLiteral(KESTRUNE_PACKAGE_DIR)).absolutePath().toUtf8();
    const QByteArray source = QByteArray(KESTRUNE_SOURCE_DIR);
    QDirIterator files(root_.path(), QDir::Files, QDirIterator::Subdirectories);
    int objects = 0;
    while (files.hasNext()) {
        const QString path = files.next();
        const QByteArray bytes = read(path);
        EXPECT_FALSE(bytes.contains(build)) << path.toStdString() << " names the build tree";
        EXPECT_FALSE(bytes.contains(source)) << path.toStdString() << " names the source tree";
        if (bytes.startsWith("\x7f"
                             "ELF")) {
            ++objects;
            EXPECT_EQ(platform::SharedObjectProblem(path.toStdString()), "") << path.toStdString();
        }
    }
    EXPECT_EQ(objects, 9) << "the two programs, five components, the disk-number library and "
                             "the update's installer";
    for (const QString& component : kComponents) {
        auto module = platform::Module::load(inRoot(kComponentDir + "/" + component));
        EXPECT_NE(module, nullptr) << component.toStdString();
    }
}

TEST_F(InstalledPackageTest, InstalledProgramStartsFromItsMenuEntryAndListsTheDisk) {
    test::ProgramRun program(inRoot("/usr/bin/kestrune"), relocatedRegistry());
    ASSERT_TRUE(program.started());
    const bool listed = program.waitForLine(QStringLiteral("Row 0: Start 1124: "), 60000);
    const QStringList mapped = program.mappedFiles();
    program.end();
    const QString output = program.output();
    const QString errors = program.errors();
    ASSERT_TRUE(listed) << output.toStdString() << errors.toStdString();
    EXPECT_TRUE(output.contains(QStringLiteral("Row 0: Start 1124: Kestrune Virtual Stick ") +
                                test::ProgramRun::diskSerial()))
        << output.toStdString();
    // Language component and files answer; the update component ran its start-up check.
    EXPECT_TRUE(output.contains(QStringLiteral("VSKGetCurrentLanguage: NTV")))
        << output.toStdString();
    EXPECT_TRUE(output.contains(QStringLiteral("VSKUpdate: "))) << output.toStdString();
    // No box: no missing component, and the version was read although "kestrune" names no
    // file on the launcher's path.
    EXPECT_FALSE(output.contains(QStringLiteral("MessageBox: "))) << output.toStdString();
    EXPECT_FALSE(errors.contains(QStringLiteral("Could not locate"))) << errors.toStdString();
    EXPECT_FALSE(errors.contains(QStringLiteral("not loaded"))) << errors.toStdString();

    for (const QString& file :
         {inRoot("/usr/bin/kestrune"), inRoot(kComponentDir + "/libkestrune_disknumbers.so"),
          inRoot(kComponentDir + "/VSKLanguage.dll"),
          inRoot(kComponentDir + "/VSKLanguageKestrune_NTV.dll")})
        EXPECT_TRUE(mapped.contains(file)) << file.toStdString();
    for (const QString& file : mapped)
        EXPECT_FALSE(file.startsWith(test::binDir())) << file.toStdString();
}

TEST_F(InstalledPackageTest, InstalledCommandLineListsTheDiskWithoutADisplay) {
    QTemporaryDir folders;
    const QString disks = QDir(folders.path()).filePath(QStringLiteral("disks"));
    ASSERT_TRUE(QDir().mkpath(disks));
    QFile image(QDir(disks).filePath(QStringLiteral("cli-stick.img")));
    ASSERT_TRUE(image.open(QIODevice::WriteOnly) && image.resize(4 << 20));
    image.close();

    QProcessEnvironment environment;
    environment.insert(QStringLiteral("PATH"), QStringLiteral("/usr/bin:/bin"));
    environment.insert(QStringLiteral("HOME"), folders.path());
    environment.insert(QStringLiteral("KESTRUNE_SIMULATED_DISKS"), disks);
    environment.insert(QStringLiteral("KESTRUNE_REGISTRY_DIR"), relocatedRegistry());
    QProcess program;
    program.setProcessEnvironment(environment);
    program.start(inRoot("/usr/bin/kestrune-cli"), {QStringLiteral("list")});
    ASSERT_TRUE(program.waitForFinished(60000));
    const QString output = QString::fromUtf8(program.readAllStandardOutput());
    const QString errors = QString::fromUtf8(program.readAllStandardError());
    EXPECT_EQ(program.exitCode(), 0) << errors.toStdString();
    EXPECT_TRUE(output.contains(QStringLiteral("Kestrune Virtual Stick  cli-stick")))
        << output.toStdString() << errors.toStdString();
    EXPECT_EQ(errors, QString());
}
