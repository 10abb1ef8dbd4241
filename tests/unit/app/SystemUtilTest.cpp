#include "app/SystemUtil.h"
#include "TestSupport.h"
#include "platform/ProgramFile.h"
#include "platform/Registry.h"

#include <QCoreApplication>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <gtest/gtest.h>

using namespace kestrune;
using kestrune::test::registryString;
using platform::RegistryRoot;
using platform::RegistryValue;

namespace {

const QString kComponents = QStringLiteral("Software\\Vaskor Security\\Paths\\DLLs");

void store(RegistryRoot root, const QString& key, const QString& name, std::uint32_t type,
           const QByteArray& data) {
    ASSERT_EQ(platform::registry().write(root, key, name, RegistryValue{type, data}), 0);
}

void registerComponent(const QString& dir) {
    store(RegistryRoot::LocalMachine, kComponents, QStringLiteral("VSKUpdate.dll"),
          platform::REG_SZ_TYPE, registryString(dir));
}

QByteArray le16(std::uint16_t v) {
    return QByteArray(1, char(v & 0xFF)) + QByteArray(1, char(v >> 8));
}

QByteArray record(std::uint16_t length, std::initializer_list<std::uint16_t> parts) {
    QByteArray bytes = ProgramVersionMarker() + le16(length);
    for (auto part : parts)
        bytes += le16(part);
    return bytes;
}

QString writeTemp(const QTemporaryDir& dir, const QString& name, const QByteArray& bytes) {
    const QString path = dir.filePath(name);
    QFile file(path);
    EXPECT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(bytes);
    return path;
}

} // namespace

TEST(SystemUtilRegistry, DwordReadTakesTheRawBytesOfAnyTypeUpToFour) {
    test::ScopedRegistry scope;
    const QString key = QStringLiteral("Software\\T");
    store(RegistryRoot::CurrentUser, key, QStringLiteral("One"), platform::REG_SZ_TYPE,
          registryString("1"));
    store(RegistryRoot::CurrentUser, key, QStringLiteral("Twelve"), platform::REG_SZ_TYPE,
          registryString("12"));
    store(RegistryRoot::CurrentUser, key, QStringLiteral("Short"), platform::REG_BINARY_TYPE,
          QByteArray("\x01\x02", 2));
    store(RegistryRoot::CurrentUser, key, QStringLiteral("Wide"), platform::REG_BINARY_TYPE,
          QByteArray("\x01\0\0\0\0", 5));
    store(RegistryRoot::LocalMachine, key, QStringLiteral("Machine"), platform::REG_DWORD_TYPE,
          QByteArray("\x2a\0\0\0", 4));
    SystemUtil util;
    EXPECT_EQ(util.ReadRegistryDword(key, QStringLiteral("One"), false), 49u);
    EXPECT_EQ(util.ReadRegistryDword(key, QStringLiteral("Twelve"), false), 0u);
    EXPECT_EQ(util.ReadRegistryDword(key, QStringLiteral("Short"), false), 0x0201u);
    EXPECT_EQ(util.ReadRegistryDword(key, QStringLiteral("Wide"), false), 0u);
    EXPECT_EQ(util.ReadRegistryDword(key, QStringLiteral("Machine"), true), 42u);
    EXPECT_EQ(util.ReadRegistryDword(key, QStringLiteral("Machine"), false), 0u);
    EXPECT_EQ(
        util.ReadRegistryDword(QStringLiteral("Software\\Missing"), QStringLiteral("One"), false),
        0u);
    EXPECT_FALSE(platform::registry().keyExists(RegistryRoot::CurrentUser,
                                                QStringLiteral("Software\\Missing")))
        << "reading never creates a key";

    EXPECT_EQ(util.WriteRegistryDword(key, QStringLiteral("One"), 0xDEADBEEF, false), 0);
    const auto written =
        platform::registry().read(RegistryRoot::CurrentUser, key, QStringLiteral("one"));
    ASSERT_TRUE(written.has_value());
    EXPECT_EQ(written->type, std::uint32_t(platform::REG_DWORD_TYPE));
    EXPECT_EQ(util.ReadRegistryDword(key, QStringLiteral("ONE"), false), 0xDEADBEEFu);
}

TEST(SystemUtilRegistry, WriteIntoDamagedHiveFailsAndKeepsIt) {
    test::ScopedRegistry scope;
    QFile hive(scope.userHive());
    ASSERT_TRUE(hive.open(QIODevice::WriteOnly));
    hive.write("not a hive\n");
    hive.close();
    EXPECT_NE(SystemUtil().WriteRegistryDword(QStringLiteral("Software\\T"), QStringLiteral("X"), 1,
                                              false),
              0);
    ASSERT_TRUE(hive.open(QIODevice::ReadOnly));
    EXPECT_EQ(hive.readAll(), QByteArray("not a hive\n"));
}

TEST(SystemUtilComponents, DirectoryValueRules) {
    test::ScopedRegistry scope;
    SystemUtil util;
    EXPECT_EQ(util.GetComponentDirectory(QStringLiteral("VSKUpdate.dll")), QString());

    const QString longest = QString(259, QLatin1Char('d')); // 520 bytes with its terminator
    registerComponent(longest);
    EXPECT_EQ(util.GetComponentDirectory(QStringLiteral("vskupdate.DLL")), longest);
    registerComponent(longest + QLatin1Char('d'));
    EXPECT_EQ(util.GetComponentDirectory(QStringLiteral("VSKUpdate.dll")), QString());

    // No terminator and an odd trailing byte: only the whole units that were stored.
    store(RegistryRoot::LocalMachine, kComponents, QStringLiteral("VSKUpdate.dll"),
          platform::REG_BINARY_TYPE, QByteArray("/\0o\0p\0t\0x", 9));
    EXPECT_EQ(util.GetComponentDirectory(QStringLiteral("VSKUpdate.dll")), QStringLiteral("/opt"));
    store(RegistryRoot::LocalMachine, kComponents, QStringLiteral("VSKUpdate.dll"),
          platform::REG_SZ_TYPE, QByteArray("/\0a\0\0\0/\0b\0\0\0", 12));
    EXPECT_EQ(util.GetComponentDirectory(QStringLiteral("VSKUpdate.dll")), QStringLiteral("/a"));
}

TEST(SystemUtilComponents, PathRules) {
    test::ScopedRegistry scope;
    SystemUtil util;
    const QString file = QStringLiteral("VSKUpdate.dll");
    const QString exeDir = util.GetExecutableDirectory();
    EXPECT_EQ(exeDir, QCoreApplication::applicationDirPath() + QLatin1Char('/'));
    EXPECT_EQ(util.ComponentPathWithFallback(file), exeDir + file);
    // Never a bare name: the loader's own search would decide where it comes from.
    EXPECT_EQ(util.ComponentPathWithoutFallback(file), exeDir + file);

    for (const QString& dir : {QStringLiteral("/comp"), QStringLiteral("/comp/")}) {
        registerComponent(dir);
        EXPECT_EQ(util.ComponentPathWithFallback(file), QStringLiteral("/comp/VSKUpdate.dll"));
        EXPECT_EQ(util.ComponentPathWithoutFallback(file), QStringLiteral("/comp/VSKUpdate.dll"));
    }
    registerComponent(QStringLiteral("//srv/share"));
    EXPECT_EQ(util.ComponentPathWithFallback(file), QStringLiteral("/srv/share/VSKUpdate.dll"));
    EXPECT_EQ(util.ComponentPathWithoutFallback(file), QStringLiteral("/srv/share/VSKUpdate.dll"));

    EXPECT_EQ(SystemUtil::CollapseDoubledSeparators(QStringLiteral("///a////b/")),
              QStringLiteral("//a//b/"));
}

TEST(SystemUtilInstance, SharedUntilReleased) {
    const auto first = GetSystemUtil();
    EXPECT_EQ(GetSystemUtil(), first);
    ReleaseSystemUtil();
    const auto second = GetSystemUtil();
    EXPECT_NE(second, first);
    ReleaseSystemUtil();
}

class ProgramVersion : public ::testing::Test {
protected:
    void SetUp() override { test::messages().clear(); }
    void TearDown() override { test::messages().clear(); }

    static void expectOneBox(const QString& text) {
        const auto boxes = test::messages().boxes();
        ASSERT_EQ(boxes.size(), 1u);
        EXPECT_EQ(boxes[0].text, text);
        EXPECT_EQ(boxes[0].caption, SystemUtil::ApplicationTitle());
        EXPECT_EQ(boxes[0].style, unsigned(platform::MB_OK_STYLE));
    }
    QTemporaryDir dir;
};

TEST_F(ProgramVersion, OwnExecutableWithoutRecordGivesNoneAndNamesIt) {
    EXPECT_EQ(SystemUtil().GetProgramVersion(), QStringLiteral("none"));
    expectOneBox(QStringLiteral("Error retrieving version info.\n(%1)")
                     .arg(QCoreApplication::arguments().at(0)));
}

TEST_F(ProgramVersion, UnreadableFilesNameThemselves) {
    // A folder, a missing file, and an endless device that must not be read for ever.
    for (const QString& name : {dir.path(), dir.filePath("gone"), QStringLiteral("/dev/zero")}) {
        test::messages().clear();
        EXPECT_EQ(SystemUtil().GetProgramVersion(name), QStringLiteral("none"));
        expectOneBox(QStringLiteral("Error retrieving version info.\n(%1)").arg(name));
    }
}

TEST_F(ProgramVersion, RecordsInPlainFiles) {
    SystemUtil util;
    EXPECT_EQ(util.GetProgramVersion(
                  writeTemp(dir, "v", QByteArray(100, 'x') + record(8, {2, 1, 0, 15}))),
              QStringLiteral("2.1.0.15"));
    EXPECT_EQ(util.GetProgramVersion(writeTemp(dir, "max", record(8, {65535, 0, 0, 1}) + "tail")),
              QStringLiteral("65535.0.0.1"));
    EXPECT_TRUE(test::messages().boxes().empty());

    EXPECT_EQ(util.GetProgramVersion(writeTemp(dir, "empty", record(0, {}))),
              QStringLiteral("none"));
    expectOneBox(QStringLiteral("Version information not available"));
    test::messages().clear();
    EXPECT_EQ(util.GetProgramVersion(writeTemp(dir, "small", record(3, {1, 2, 3, 4}))),
              QStringLiteral("none"));
    expectOneBox(QStringLiteral("Version information not available."));
    test::messages().clear();
    EXPECT_EQ(util.GetProgramVersion(writeTemp(dir, "cut", record(8, {1, 2}))),
              QStringLiteral("none"));
    expectOneBox(QStringLiteral("Version information not available."));
}

TEST_F(ProgramVersion, RecordAcrossReadChunks) {
    const qsizetype chunk = 1 << 20;
    const QByteArray full = record(8, {3, 4, 5, 6});
    // Marker split across chunks, and marker complete but the numbers in the next chunk.
    for (qsizetype offset : {chunk - 7, chunk - 16, chunk - 17}) {
        const QString path = writeTemp(dir, QStringLiteral("big%1").arg(offset),
                                       QByteArray(offset, '\0') + full + QByteArray(50, 'z'));
        EXPECT_EQ(SystemUtil().GetProgramVersion(path), QStringLiteral("3.4.5.6")) << offset;
    }
    EXPECT_TRUE(test::messages().boxes().empty());
}

TEST_F(ProgramVersion, BareNameIsFoundThroughPathLikeTheShell) {
    QTemporaryDir first;
    QTemporaryDir second;
    // Not executable: the shell would pass it over.
    writeTemp(first, "tool", record(8, {9, 9, 9, 9}));
    const QString wanted = writeTemp(second, "tool", record(8, {1, 0, 0, 0}));
    QFile::setPermissions(wanted, QFile::ReadOwner | QFile::ExeOwner);
    const QByteArray saved = qgetenv("PATH");
    qputenv("PATH", (first.path() + ":" + second.path()).toLocal8Bit());
    const QString resolved = ResolveProgramFile(QStringLiteral("tool"));
    const QString version = SystemUtil().GetProgramVersion(QStringLiteral("tool"));
    qputenv("PATH", saved);
    EXPECT_EQ(resolved, wanted);
    EXPECT_EQ(version, QStringLiteral("1.0.0.0"));
    EXPECT_EQ(ResolveProgramFile(QStringLiteral("./tool")), QStringLiteral("./tool"));
}

TEST_F(ProgramVersion, ProgramReadsTheRecordCompiledIntoIt) {
    const QString probe = QStringLiteral(KESTRUNE_VERSION_PROBE);
    const QString probeDir = probe.left(probe.lastIndexOf('/'));
    const QString bare = probe.mid(probe.lastIndexOf('/') + 1);

    QProcess byPath;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("PATH", probeDir + ":/usr/bin:/bin");
    byPath.setProcessEnvironment(env);
    // The shell starts it by its bare name, so its command line names no folder.
    byPath.start("/bin/sh", {"-c", "cd / && exec " + bare});
    ASSERT_TRUE(byPath.waitForFinished(30000));
    EXPECT_EQ(byPath.readAllStandardOutput().trimmed(), QByteArray("2.1.0.15"));
    EXPECT_EQ(byPath.readAllStandardError(), QByteArray());

    QProcess direct;
    direct.start(probe, {});
    ASSERT_TRUE(direct.waitForFinished(30000));
    EXPECT_EQ(direct.readAllStandardOutput().trimmed(), QByteArray("2.1.0.15"));
}

TEST_F(ProgramVersion, LauncherNameThatNamesNoFileReadsTheRunningProgram) {
    const QString probe = QStringLiteral(KESTRUNE_VERSION_PROBE);
    // A desktop launcher may hand the program a name of its own as the first element.
    for (const QString& name : {QStringLiteral("Kestrune"), QStringLiteral("/no/such/kestrune")}) {
        QProcess launched;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("PATH", "/usr/bin:/bin");
        launched.setProcessEnvironment(env);
        launched.start("/bin/bash", {"-c", "exec -a \"$0\" \"$1\"", name, probe});
        ASSERT_TRUE(launched.waitForFinished(30000));
        EXPECT_EQ(launched.readAllStandardOutput().trimmed(), QByteArray("2.1.0.15"))
            << name.toStdString();
        EXPECT_EQ(launched.readAllStandardError(), QByteArray()) << "no version box";
    }
}
