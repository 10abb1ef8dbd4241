// kestrune-cli keeps the machine awake while its jobs run, against a stand-in login manager
// on a system bus of the test's own; without a login manager the jobs run as before and the
// trace says so once.
#include "CliTestSupport.h"
#include "StandInServices.h"

#include <QTest>
#include <csignal>

using namespace kestrune;
using namespace kestrune::test;

namespace {

class CliAwake : public CliTest {
protected:
    void SetUp() override {
        CliTest::SetUp();
        if (systemBus.address().isEmpty())
            GTEST_SKIP() << "no bus of the test's own: " << systemBus.failure().toStdString();
        busAddress = std::make_unique<ScopedEnvironment>("DBUS_SYSTEM_BUS_ADDRESS",
                                                         systemBus.address().toUtf8());
    }
    void TearDown() override {
        busAddress.reset();
        CliTest::TearDown();
    }
    static int traceLines(const QString& errors) {
        return static_cast<int>(errors.count(QStringLiteral("logind: ")));
    }

    PrivateBus systemBus;
    std::unique_ptr<ScopedEnvironment> busAddress;
};

} // namespace

TEST_F(CliAwake, TheMachineStaysAwakeUntilTheAbortedJobsHaveEnded) {
    StandInLogind logind(systemBus);
    ASSERT_TRUE(logind.registered());
    // 35 passes: still running whenever the test looks.
    makeImage(QStringLiteral("alpha.img"), 96 << 20);
    makeImage(QStringLiteral("beta.img"), 64 << 20);
    auto process =
        start({QStringLiteral("shred"), QStringLiteral("--yes"), QStringLiteral("--algorithm"),
               QStringLiteral("103"), QStringLiteral("alpha"), QStringLiteral("beta")});
    // One lock whose reason names both disks. Stand-in and program meet on this thread's
    // event loop.
    const QString reason = QStringLiteral("Erasing Kestrune Virtual Stick, 96.00 MB; Kestrune "
                                          "Virtual Stick, 64.00 MB");
    ASSERT_TRUE(QTest::qWaitFor(
        [&] { return logind.heldCount() == 1 && logind.inhibitions().back().why == reason; },
        30000))
        << (logind.inhibitions().empty() ? std::string()
                                         : logind.inhibitions().back().why.toStdString());
    ASSERT_EQ(process->state(), QProcess::Running);

    ASSERT_EQ(::kill(static_cast<pid_t>(process->processId()), SIGINT), 0);
    EXPECT_TRUE(QTest::qWaitFor([&] { return process->state() == QProcess::NotRunning; }, 60000));
    EXPECT_EQ(process->exitCode(), 15);
    // The bus may still carry a copy of the lock's descriptor for a moment after the program.
    EXPECT_TRUE(QTest::qWaitFor([&] { return logind.heldCount() == 0; }, 5000));
    EXPECT_EQ(traceLines(QString::fromUtf8(process->readAllStandardError())), 0);
}

TEST_F(CliAwake, WithoutALoginManagerTheJobsRunAndTheTraceSaysSoOnce) {
    const QString alpha = makeImage(QStringLiteral("alpha.img"), 8 << 20);
    const QString beta = makeImage(QStringLiteral("beta.img"), 8 << 20);
    const QStringList arguments{QStringLiteral("--trace"),
                                QStringLiteral("shred"),
                                QStringLiteral("--yes"),
                                QStringLiteral("--algorithm"),
                                QStringLiteral("100"),
                                alpha,
                                beta};
    // A bus without one, and no bus at all.
    for (const bool busThere : {true, false}) {
        ScopedEnvironment nowhere("DBUS_SYSTEM_BUS_ADDRESS",
                                  busThere ? systemBus.address().toUtf8()
                                           : QByteArrayLiteral("unix:path=/nonexistent/bus"));
        const CliResult result = run(arguments);
        EXPECT_EQ(result.exitCode, 0) << result.errors.toStdString();
        EXPECT_EQ(traceLines(result.errors), 1) << result.errors.toStdString();
        EXPECT_FALSE(holdsSecret(alpha));
        EXPECT_FALSE(holdsSecret(beta));
    }
}
