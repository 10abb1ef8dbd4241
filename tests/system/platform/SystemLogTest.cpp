// A machine hive that cannot be used is reported in the system log too: root listens at
// /dev/log in place of a logger.
#include "CapturedStandardError.h"
#include "DamagedObjects.h"
#include "TestSupport.h"
#include "platform/linux/FileRegistry.h"

#include <QFileInfo>
#include <cstdio>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

using namespace kestrune::platform;
using kestrune::test::CapturedStandardError;
using kestrune::test::writeWholeFile;

TEST(HiveProblems, DamagedMachineHiveReachesTheSystemLog) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root to listen at /dev/log";
    if (QFileInfo::exists(QStringLiteral("/dev/log")))
        GTEST_SKIP() << "a system logger already listens at /dev/log; its messages are its own";
    const int listener = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(listener, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof address.sun_path, "/dev/log");
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    struct Cleanup {
        int fd;
        ~Cleanup() {
            ::close(fd);
            ::unlink("/dev/log");
        }
    } cleanup{listener};
    timeval wait{10, 0};
    ::setsockopt(listener, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);

    kestrune::test::ScopedRegistry scope;
    ASSERT_TRUE(
        writeWholeFile(scope.machineHive(), "Windows Registry Editor Version 5.00\n[broken\n"));
    CapturedStandardError quiet;
    EXPECT_FALSE(registry().read(RegistryRoot::LocalMachine, QStringLiteral("Software"),
                                 QStringLiteral("HideSettings")));
    // Other programs on the machine may log at the same time: ours is the one with our pid.
    const QString tag = QStringLiteral("kestrune[%1]").arg(::getpid());
    QString line;
    for (;;) {
        char buffer[2048] = {};
        const ssize_t got = ::recv(listener, buffer, sizeof buffer - 1, 0);
        ASSERT_GT(got, 0) << "nothing of ours reached the system log";
        line = QString::fromUtf8(buffer, got);
        if (line.contains(tag))
            break;
    }
    EXPECT_TRUE(line.contains(scope.machineHive())) << line.toStdString();
    EXPECT_TRUE(line.contains(QStringLiteral("line 2: bad key line"))) << line.toStdString();
    // Priority: user facility (1) * 8 + warning (4).
    EXPECT_TRUE(line.startsWith(QStringLiteral("<12>"))) << line.toStdString();
}
