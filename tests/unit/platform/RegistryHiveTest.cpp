#include "DamagedObjects.h"
#include "TestSupport.h"
#include "platform/linux/FileRegistry.h"

#include <QDir>
#include <QFile>
#include <atomic>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <optional>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using namespace kestrune::platform;
using kestrune::test::readWholeFile;
using kestrune::test::registryString;
using kestrune::test::writeWholeFile;

namespace {

const QString kKey = QStringLiteral("Software\\Test Co\\Product\\Settings");

RegistryValue value(std::uint32_t type, const QByteArray& data) {
    return RegistryValue{type, data};
}

// The write in a child, so that one waiting on the lock fails the test instead of stopping
// it: what the child said on standard error, or nothing when it was not done in ten seconds.
std::optional<QByteArray> failedWriteInChild(const QString& said) {
    const pid_t child = ::fork();
    if (child == 0) {
        ::dup2(::open(QFile::encodeName(said).constData(), O_WRONLY | O_CREAT, 0600), 2);
        ::_exit(registry().write(RegistryRoot::CurrentUser, kKey, QStringLiteral("N"),
                                 value(REG_DWORD_TYPE, QByteArray(4, '\1'))) == REGISTRY_OK);
    }
    int status = -1;
    for (int i = 0; i < 100 && ::waitpid(child, &status, WNOHANG) == 0; ++i, status = -1)
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    if (status == -1) {
        ::kill(child, SIGKILL);
        ::waitpid(child, nullptr, 0);
        return std::nullopt;
    }
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the write is refused";
    return readWholeFile(said);
}

} // namespace

TEST(RegistryHive, EveryTypeSurvivesWriteAndReadByteExact) {
    kestrune::test::ScopedRegistry scope;
    QByteArray longBinary;
    for (int i = 0; i < 70; ++i)
        longBinary.append(char(i * 7));
    const std::vector<std::pair<QString, RegistryValue>> cases = {
        {"Path", value(REG_SZ_TYPE, registryString(QStringLiteral("C:\\dir \"quoted\" \\")))},
        {"Unicode", value(REG_SZ_TYPE, registryString(QStringLiteral("Gr\u00FC\u00DFe \u2713")))},
        {"Empty", value(REG_SZ_TYPE, registryString(QString()))},
        {"NoTerminator", value(REG_SZ_TYPE, QByteArray("a\0b\0", 4))},
        {"OddLength", value(REG_SZ_TYPE, QByteArray("1\0\0", 3))},
        {"LineBreak", value(REG_SZ_TYPE, registryString(QStringLiteral("two\nlines")))},
        {"LoneSurrogate", value(REG_SZ_TYPE, QByteArray("\x00\xD8\x00\x00", 4))},
        {"Number", value(REG_DWORD_TYPE, QByteArray("\x2a\x00\x00\x80", 4))},
        {"ShortNumber", value(REG_DWORD_TYPE, QByteArray("\x01\x02\x03", 3))},
        {"Blob", value(REG_BINARY_TYPE, longBinary)},
        {"EmptyBlob", value(REG_BINARY_TYPE, QByteArray())},
        {"Expand", value(REG_EXPAND_SZ_TYPE, registryString(QStringLiteral("%HOME%")))},
        {"Multi", value(REG_MULTI_SZ_TYPE, QByteArray("a\0\0\0b\0\0\0\0\0", 10))},
        {"Quad", value(REG_QWORD_TYPE, QByteArray("\x01\x00\x00\x00\x00\x00\x00\xff", 8))},
        {"None", value(REG_NONE_TYPE, QByteArray())},
        {"Odd \"name\" \\", value(REG_DWORD_TYPE, QByteArray("\x07\x00\x00\x00", 4))},
        {"", value(REG_SZ_TYPE, registryString(QStringLiteral("default")))},
    };
    for (const auto& [name, stored] : cases)
        ASSERT_EQ(registry().write(RegistryRoot::CurrentUser, kKey, name, stored), 0)
            << name.toStdString();
    for (const auto& [name, stored] : cases) {
        const auto back = registry().read(RegistryRoot::CurrentUser, kKey, name);
        ASSERT_TRUE(back.has_value()) << name.toStdString();
        EXPECT_EQ(back->type, stored.type) << name.toStdString();
        EXPECT_EQ(back->data, stored.data) << name.toStdString();
    }
    const QByteArray text = readWholeFile(scope.userHive());
    EXPECT_TRUE(text.startsWith("Windows Registry Editor Version 5.00\n"));
    EXPECT_TRUE(text.contains("[HKEY_CURRENT_USER\\Software\\Test Co\\Product\\Settings]\n"));
    EXPECT_TRUE(text.contains("\"Number\"=dword:8000002a\n"));
    EXPECT_TRUE(text.contains("\"Path\"=\"C:\\\\dir \\\"quoted\\\" \\\\\"\n"));
    EXPECT_TRUE(text.contains("@=\"default\"\n"));
    EXPECT_TRUE(text.contains("\"OddLength\"=hex(1):31,00,00\n"));
    EXPECT_TRUE(text.contains(",\\\n  ")) << "long hex lists are continued on further lines";
    EXPECT_FALSE(QFile::exists(scope.machineHive()));
}

TEST(RegistryHive, ParsesHandWrittenFiles) {
    const QByteArray text = "\xEF\xBB\xBFWindows Registry Editor Version 5.00\r\n"
                            "\r\n"
                            "; written by an administrator\r\n"
                            "[HKEY_LOCAL_MACHINE\\Software\\Vaskor Security\\Paths\\DLLs]\r\n"
                            "\"VSKUpdate.dll\"=\"/opt/vaskor/\"\r\n"
                            "@=dword:2A\r\n"
                            "\"Blob\" = hex:01,02,\\\r\n"
                            "    03,ff\r\n"
                            "\"Typed\"=hex(7):61,00,00,00,00,00\r\n"
                            "[hkey_local_machine\\software\\vaskor security\\paths\\dlls]\r\n"
                            "\"vskupdate.dll\"=\"/later/\"\r\n";
    const auto hive = parseHive(text);
    ASSERT_TRUE(hive.has_value());
    ASSERT_EQ(hive->keys.size(), 1u) << "sections that differ only in case are one key";
    const QString key =
        QStringLiteral("HKEY_LOCAL_MACHINE\\Software\\Vaskor Security\\Paths\\DLLs");
    const HiveValue* dir = hive->findValue(key.toUpper(), QStringLiteral("VSKUPDATE.DLL"));
    ASSERT_NE(dir, nullptr);
    EXPECT_EQ(dir->value.data, registryString(QStringLiteral("/later/")));
    EXPECT_EQ(hive->findValue(key, QString())->value.data, QByteArray("\x2a\0\0\0", 4));
    EXPECT_EQ(hive->findValue(key, QStringLiteral("Blob"))->value.data,
              QByteArray("\x01\x02\x03\xff"));
    EXPECT_EQ(hive->findValue(key, QStringLiteral("Typed"))->value.type, 7u);

    QByteArray wide("\xFF\xFE", 2);
    const QString utf16Text =
        QStringLiteral("Windows Registry Editor Version "
                       "5.00\r\n\r\n[HKEY_CURRENT_USER\\A]\r\n\"N\"=\"\u00E9\"\r\n");
    wide.append(reinterpret_cast<const char*>(utf16Text.utf16()), utf16Text.size() * 2);
    const auto fromWide = parseHive(wide);
    ASSERT_TRUE(fromWide.has_value());
    EXPECT_EQ(fromWide->findValue(QStringLiteral("HKEY_CURRENT_USER\\A"), QStringLiteral("n"))
                  ->value.data,
              registryString(QStringLiteral("\u00E9")));

    EXPECT_TRUE(parseHive(QByteArray()).has_value()) << "an empty file is an empty hive";
}

TEST(RegistryHive, RejectsDamagedText) {
    const QByteArray header = "Windows Registry Editor Version 5.00\n";
    const std::vector<QByteArray> damaged = {
        "[HKEY_CURRENT_USER\\A]\n\"N\"=dword:1\n", // no header
        header + "\"N\"=dword:1\n",                // value outside a key
        header + "[HKEY_CURRENT_USER\\A\n",        // unterminated key
        header + "[-HKEY_CURRENT_USER\\A]\n",      // deletion is not hive content
        header + "[HKEY_CURRENT_USER\\A]\n\"N\"=-\n",
        header + "[HKEY_CURRENT_USER\\A]\n\"N\"=\"C:\\dir\"\n", // unknown escape
        header + "[HKEY_CURRENT_USER\\A]\n\"N\"=\"open\n",
        header + "[HKEY_CURRENT_USER\\A]\n\"N\"=\"x\" junk\n",
        header + "[HKEY_CURRENT_USER\\A]\n\"N\"=dword:123456789\n",
        header + "[HKEY_CURRENT_USER\\A]\n\"N\"=dword:12g4\n",
        header + "[HKEY_CURRENT_USER\\A]\n\"N\"=hex:01,zz\n",
        header + "[HKEY_CURRENT_USER\\A]\n\"N\"=hex:01,\\\n",
        header + "[HKEY_CURRENT_USER\\A]\n\"N\"=hex(q):01\n",
        header + "[HKEY_CURRENT_USER\\A]\nN=dword:1\n",
        header + "[HKEY_CURRENT_USER\\A]\n\"N\"=\"\xC3\x28\"\n", // invalid UTF-8
    };
    for (const auto& text : damaged)
        EXPECT_FALSE(parseHive(text).has_value()) << text.toStdString();
}

TEST(RegistryHive, DamagedHiveReadsEmptyAndIsNeverOverwritten) {
    kestrune::test::ScopedRegistry scope;
    const QByteArray damaged = "Windows Registry Editor Version 5.00\n\n"
                               "[HKEY_CURRENT_USER\\Software\\A]\n"
                               "\"Good\"=dword:00000001\n"
                               "\"Bad\"=hex:01,xyz\n";
    ASSERT_TRUE(writeWholeFile(scope.userHive(), damaged));
    EXPECT_FALSE(registry().read(RegistryRoot::CurrentUser, QStringLiteral("Software\\A"),
                                 QStringLiteral("Good")));
    EXPECT_FALSE(registry().keyExists(RegistryRoot::CurrentUser, QStringLiteral("Software\\A")));
    EXPECT_NE(registry().write(RegistryRoot::CurrentUser, QStringLiteral("Software\\A"),
                               QStringLiteral("New"), value(REG_DWORD_TYPE, QByteArray(4, '\0'))),
              0);
    EXPECT_EQ(readWholeFile(scope.userHive()), damaged);
    const QStringList left = QDir(scope.path()).entryList(QDir::Files);
    for (const QString& name : left)
        EXPECT_TRUE(name == "user.reg" || name == "user.reg.lock") << name.toStdString();
}

TEST(RegistryHive, AHiveAboveAMebibyteIsDamagedAndKept) {
    kestrune::test::ScopedRegistry scope;
    const QByteArray text = "Windows Registry Editor Version 5.00\n\n[HKEY_CURRENT_USER\\A]\n"
                            "\"Good\"=dword:00000001\n;" +
                            QByteArray(1024 * 1024, 'x') + '\n';
    ASSERT_TRUE(writeWholeFile(scope.userHive(), text));
    ::testing::internal::CaptureStderr();
    EXPECT_FALSE(registry().read(RegistryRoot::CurrentUser, QStringLiteral("A"), "Good"));
    EXPECT_EQ(registry().write(RegistryRoot::CurrentUser, QStringLiteral("A"), "New",
                               value(REG_DWORD_TYPE, QByteArray(4, '\0'))),
              REGISTRY_BAD_DATABASE);
    EXPECT_NE(::testing::internal::GetCapturedStderr().find(
                  "does not parse (too large): its values are ignored and it is never overwritten"),
              std::string::npos);
    EXPECT_EQ(readWholeFile(scope.userHive()), text);
}

TEST(RegistryHive, AFifoOrAHeldLockFailsTheWriteAtOnce) {
    for (const bool fifo : {true, false}) {
        SCOPED_TRACE(fifo ? "fifo" : "held");
        kestrune::test::ScopedRegistry scope;
        const QByteArray lock = QFile::encodeName(scope.userHive() + ".lock");
        // Another open file description holds it: another process, as flock sees it.
        const int held = fifo ? ::mkfifo(lock.constData(), 0600)
                              : ::open(lock.constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        ASSERT_TRUE(fifo ? held == 0 : (held >= 0 && ::flock(held, LOCK_EX) == 0));
        const auto said = failedWriteInChild(scope.path() + "/said");
        if (!fifo)
            ::close(held);
        if (!said) {
            ADD_FAILURE() << "the write waited for the lock";
            continue;
        }
        EXPECT_TRUE(said->contains(QByteArray("was not written: its lock file cannot be opened: ") +
                                   (fifo ? "not a regular file" : "another writer holds it")))
            << said->toStdString();
        EXPECT_FALSE(QFile::exists(scope.userHive()));
    }
}

TEST(RegistryHive, AnEditBetweenTwoReadsIsSeenByTheSecond) {
    kestrune::test::ScopedRegistry scope;
    const QByteArray header = "Windows Registry Editor Version 5.00\n[HKEY_CURRENT_USER\\A]\n";
    auto number = [] {
        const auto read =
            registry().read(RegistryRoot::CurrentUser, QStringLiteral("A"), QStringLiteral("N"));
        return read ? int(read->data[0]) : -1;
    };
    // Same size each time, in the same second: only the bytes tell the versions apart.
    ASSERT_TRUE(writeWholeFile(scope.userHive(), header + "\"N\"=dword:00000001\n"));
    EXPECT_EQ(number(), 1);
    EXPECT_EQ(number(), 1);
    ASSERT_TRUE(writeWholeFile(scope.userHive(), header + "\"N\"=dword:00000002\n"));
    EXPECT_EQ(number(), 2);
    ASSERT_TRUE(writeWholeFile(scope.userHive(), header + "\"N\"=dword:0000000x\n"));
    EXPECT_EQ(number(), -1) << "a hive damaged since the last read is not used";
}

TEST(RegistryHive, MissingFileAndFoldersAreCreatedOnFirstWrite) {
    kestrune::test::ScopedRegistry scope;
    const QString nested = scope.path() + QStringLiteral("/not/yet/there");
    qputenv("KESTRUNE_REGISTRY_DIR", nested.toLocal8Bit());
    EXPECT_FALSE(registry().read(RegistryRoot::LocalMachine, QStringLiteral("Software"),
                                 QStringLiteral("X")));
    EXPECT_FALSE(registry().keyExists(RegistryRoot::LocalMachine, QStringLiteral("Software")));
    ASSERT_EQ(registry().write(RegistryRoot::LocalMachine, QStringLiteral("Software\\Deep\\Key"),
                               QStringLiteral("X"),
                               value(REG_DWORD_TYPE, QByteArray("\x05\0\0\0", 4))),
              0);
    EXPECT_TRUE(QFile::exists(nested + QStringLiteral("/machine.reg")));
    EXPECT_TRUE(registry().keyExists(RegistryRoot::LocalMachine, QStringLiteral("software\\deep")));
    EXPECT_FALSE(registry().keyExists(RegistryRoot::LocalMachine, QStringLiteral("Software\\De")));
    EXPECT_FALSE(registry().keyExists(RegistryRoot::CurrentUser, QStringLiteral("Software\\Deep")));
    EXPECT_NE(registry().write(RegistryRoot::CurrentUser, QStringLiteral("Bad\nKey"),
                               QStringLiteral("X"), value(REG_DWORD_TYPE, QByteArray(4, '\0'))),
              0);
}

TEST(RegistryHive, ConcurrentWritersFromTwoProcessesAllLand) {
    kestrune::test::ScopedRegistry scope;
    const int perWriter = 50;
    std::vector<pid_t> children;
    for (int writer = 0; writer < 2; ++writer) {
        const pid_t pid = ::fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            int failures = 0;
            for (int i = 0; i < perWriter; ++i) {
                const QByteArray data("\0\0\0\0", 4);
                failures += registry().write(RegistryRoot::CurrentUser, kKey,
                                             QStringLiteral("w%1_%2").arg(writer).arg(i),
                                             value(REG_DWORD_TYPE, data)) != 0;
            }
            ::_exit(failures == 0 ? 0 : 1);
        }
        children.push_back(pid);
    }
    for (pid_t pid : children) {
        int status = 0;
        ASSERT_EQ(::waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    const auto hive = parseHive(readWholeFile(scope.userHive()));
    ASSERT_TRUE(hive.has_value());
    const HiveKey* key = hive->findKey(QStringLiteral("HKEY_CURRENT_USER\\") + kKey);
    ASSERT_NE(key, nullptr);
    EXPECT_EQ(key->values.size(), size_t(2 * perWriter));
}

TEST(RegistryHive, ConcurrentWritersFromThreadsAllLand) {
    kestrune::test::ScopedRegistry scope;
    std::vector<std::thread> threads;
    std::atomic<int> failures{0};
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([t, &failures] {
            for (int i = 0; i < 20; ++i)
                failures += registry().write(RegistryRoot::CurrentUser, kKey,
                                             QStringLiteral("t%1_%2").arg(t).arg(i),
                                             value(REG_DWORD_TYPE, QByteArray(4, char(i)))) != 0;
        });
    }
    for (auto& thread : threads)
        thread.join();
    EXPECT_EQ(failures.load(), 0);
    for (int t = 0; t < 4; ++t)
        for (int i = 0; i < 20; ++i) {
            const auto back = registry().read(RegistryRoot::CurrentUser, kKey,
                                              QStringLiteral("T%1_%2").arg(t).arg(i));
            ASSERT_TRUE(back.has_value());
            EXPECT_EQ(back->data, QByteArray(4, char(i)));
        }
}
