// A hive's comments survive a write; a hive that cannot be used is reported on standard
// error once per file (and in the system log: tests/system/platform).
#include "CapturedStandardError.h"
#include "DamagedObjects.h"
#include "TestSupport.h"
#include "platform/linux/FileRegistry.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryFile>
#include <chrono>
#include <cstdio>
#include <fcntl.h>
#include <future>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

using namespace kestrune::platform;
using kestrune::test::CapturedStandardError;
using kestrune::test::readWholeFile;
using kestrune::test::registryString;
using kestrune::test::writeWholeFile;

namespace {

const QString kSettingsKey = QStringLiteral("Software\\Vaskor Security\\Vaskor Kestrune\\Settings");

RegistryValue dword(std::uint32_t number) {
    QByteArray bytes(4, '\0');
    for (int i = 0; i < 4; ++i)
        bytes[i] = char((number >> (8 * i)) & 0xFF);
    return RegistryValue{REG_DWORD_TYPE, bytes};
}

} // namespace

TEST(HiveComments, SurviveWritesInTheirPlaces) {
    kestrune::test::ScopedRegistry scope;
    const QByteArray text = "; before the header\n"
                            "Windows Registry Editor Version 5.00\n"
                            "; about the first key\n"
                            "[HKEY_CURRENT_USER\\" +
                            kSettingsKey.toUtf8() +
                            "]\n"
                            "; about StartAuto\n"
                            "\"StartAuto\"=dword:00000000\n"
                            "\"FormatDrive\"=dword:00000001\n"
                            ";[HKEY_CURRENT_USER\\Software\\Switched\\Off]\n"
                            ";\"Old\"=dword:00000001\n";
    ASSERT_TRUE(writeWholeFile(scope.userHive(), text));
    ASSERT_EQ(registry().write(RegistryRoot::CurrentUser, kSettingsKey, QStringLiteral("StartAuto"),
                               dword(1)),
              0);
    ASSERT_EQ(registry().write(RegistryRoot::CurrentUser, kSettingsKey + QStringLiteral("\\Update"),
                               QStringLiteral("DayCheck"), dword(2)),
              0);
    const QString written = QString::fromUtf8(readWholeFile(scope.userHive()));
    const QStringList comments = {QStringLiteral("; before the header"),
                                  QStringLiteral("; about the first key"),
                                  QStringLiteral("; about StartAuto"),
                                  QStringLiteral(";[HKEY_CURRENT_USER\\Software\\Switched\\Off]"),
                                  QStringLiteral(";\"Old\"=dword:00000001")};
    qsizetype previous = -1;
    for (const QString& comment : comments) {
        const qsizetype at = written.indexOf(comment + QLatin1Char('\n'));
        ASSERT_GE(at, 0) << comment.toStdString() << "\n" << written.toStdString();
        EXPECT_GT(at, previous) << "in their order: " << comment.toStdString();
        previous = at;
    }
    // Each comment stays with what it stood above.
    EXPECT_TRUE(
        written.contains(QStringLiteral("; about StartAuto\n\"StartAuto\"=dword:00000001")));
    EXPECT_TRUE(written.contains(QStringLiteral("; about the first key\n[HKEY_CURRENT_USER")));
    EXPECT_TRUE(written.startsWith(QStringLiteral("; before the header\nWindows Registry")));
    EXPECT_FALSE(registry().read(RegistryRoot::CurrentUser,
                                 QStringLiteral("Software\\Switched\\Off"), QStringLiteral("Old")))
        << "a commented-out value stays out of force";

    const auto hive = parseHive(readWholeFile(scope.userHive()));
    ASSERT_TRUE(hive.has_value());
    EXPECT_EQ(serializeHive(*hive), readWholeFile(scope.userHive()))
        << "a second round changes nothing";
}

TEST(HiveProblems, DamagedAndUnreadableHivesAreReportedOncePerFile) {
    kestrune::test::ScopedRegistry scope;
    ASSERT_TRUE(writeWholeFile(scope.machineHive(),
                               "[HKEY_LOCAL_MACHINE\\Software]\n\"HideSettings\"=dword:1\n"));
    QDir().mkpath(scope.userHive()); // a folder where the file should be
    CapturedStandardError captured;
    for (int i = 0; i < 3; ++i) {
        EXPECT_FALSE(registry().read(RegistryRoot::LocalMachine, QStringLiteral("Software"),
                                     QStringLiteral("HideSettings")));
        EXPECT_FALSE(registry().read(RegistryRoot::CurrentUser, QStringLiteral("Software"),
                                     QStringLiteral("X")));
    }
    const QString text = captured.text();
    EXPECT_EQ(text.count(scope.machineHive()), 1) << text.toStdString();
    EXPECT_TRUE(text.contains(QStringLiteral("does not parse (line 1: missing header)")))
        << text.toStdString();
    EXPECT_EQ(text.count(scope.userHive() + QLatin1Char(' ')), 1) << text.toStdString();
    EXPECT_TRUE(text.contains(QStringLiteral("cannot be read (not a regular file)")))
        << text.toStdString();
}

TEST(HiveProblems, AHiveThatIsAFifoIsRefusedWithoutWaitingForAWriter) {
    kestrune::test::ScopedRegistry scope;
    const QByteArray fifo = QFile::encodeName(scope.userHive());
    ASSERT_EQ(::mkfifo(fifo.constData(), 0600), 0);
    CapturedStandardError captured;
    auto attempt = std::async(std::launch::async, [] {
        const bool read =
            registry()
                .read(RegistryRoot::CurrentUser, kSettingsKey, QStringLiteral("StartAuto"))
                .has_value();
        const int written = registry().write(RegistryRoot::CurrentUser, kSettingsKey,
                                             QStringLiteral("StartAuto"), dword(1));
        return std::make_pair(read, written);
    });
    if (attempt.wait_for(std::chrono::seconds(20)) != std::future_status::ready) {
        // Let the stuck reader go, so the test ends with its failure.
        const int writer = ::open(fifo.constData(), O_WRONLY | O_NONBLOCK);
        ::close(writer);
        FAIL() << "reading a FIFO hive waited for a writer";
    }
    const auto [read, written] = attempt.get();
    EXPECT_FALSE(read);
    EXPECT_EQ(written, REGISTRY_ACCESS_DENIED);
    EXPECT_TRUE(QFileInfo(scope.userHive()).isFile() == false &&
                QFileInfo(scope.userHive()).exists())
        << "the FIFO was left as it is";
    EXPECT_TRUE(captured.text().contains(QStringLiteral("cannot be read (not a regular file)")))
        << captured.text().toStdString();
}

TEST(HiveProblems, MissingHivesAreNoProblem) {
    kestrune::test::ScopedRegistry scope;
    CapturedStandardError captured;
    EXPECT_FALSE(registry().read(RegistryRoot::LocalMachine, QStringLiteral("Software"),
                                 QStringLiteral("HideSettings")));
    EXPECT_EQ(captured.text(), QString());
}
