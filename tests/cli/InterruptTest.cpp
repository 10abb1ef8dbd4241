// Ctrl+C, a shutdown's SIGTERM and a closed terminal's SIGHUP during running jobs abort every
// job; each still writes its report, and the program ends with the aborted code.
#include "CliTestSupport.h"

#include <QElapsedTimer>
#include <QRegularExpression>
#include <QTest>
#include <csignal>

using namespace kestrune;
using namespace kestrune::test;

namespace {

class CliInterrupt : public CliTest, public ::testing::WithParamInterface<int> {};

} // namespace

TEST_P(CliInterrupt, EveryRunningJobIsAbortedAndWritesItsReport) {
    // 35 passes over each: long enough to be running whenever the signal comes.
    const QString first = makeImage(QStringLiteral("first.img"), 96 << 20);
    const QString second = makeImage(QStringLiteral("second.img"), 96 << 20);
    auto process =
        start({QStringLiteral("shred"), QStringLiteral("--yes"), QStringLiteral("--algorithm"),
               QStringLiteral("103"), first, QStringLiteral("second")});
    QString output;
    const QString running = text("status_processing");
    const bool bothShown = QTest::qWaitFor(
        [&] {
            output += QString::fromUtf8(process->readAllStandardOutput());
            return output.count(running) >= 2;
        },
        60000);
    ASSERT_TRUE(bothShown) << output.toStdString();
    QTest::qWait(300); // a moment into the passes
    ASSERT_EQ(process->state(), QProcess::Running);
    ASSERT_EQ(::kill(static_cast<pid_t>(process->processId()), GetParam()), 0);

    QElapsedTimer sinceSignal;
    sinceSignal.start();
    ASSERT_TRUE(process->waitForFinished(60000));
    // A generous bound for an abort that takes effect at once, on a busy machine.
    EXPECT_LT(sinceSignal.elapsed(), 20000);
    output += QString::fromUtf8(process->readAllStandardOutput());
    const QString errors = QString::fromUtf8(process->readAllStandardError());
    EXPECT_EQ(process->exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(process->exitCode(), 15) << output.toStdString() << errors.toStdString();
    EXPECT_TRUE(errors.contains(text("cli_aborting"))) << errors.toStdString();

    const QStringList written = reports();
    ASSERT_EQ(written.size(), 2);
    for (const QString& report : written) {
        const QString body = readText(report);
        EXPECT_TRUE(body.contains(QStringLiteral("<result status=\"-3\""))) << body.toStdString();
        EXPECT_TRUE(body.contains(QStringLiteral("iscleaned=\"0\""))) << body.toStdString();
        EXPECT_TRUE(output.contains(report)) << "named in the output: " << report.toStdString();
    }
    for (const QString& label : {QStringLiteral("first.img"), QStringLiteral("second.img")})
        EXPECT_TRUE(output.contains(
            QRegularExpression(QStringLiteral("\\n%1 [^\\n]*%2\\n")
                                   .arg(QRegularExpression::escape(label),
                                        QRegularExpression::escape(text("status_aborted"))))))
            << output.toStdString();
}

INSTANTIATE_TEST_SUITE_P(Signals, CliInterrupt, ::testing::Values(SIGINT, SIGTERM, SIGHUP),
                         [](const ::testing::TestParamInfo<int>& signal) {
                             return std::string(signal.param == SIGINT    ? "SIGINT"
                                                : signal.param == SIGTERM ? "SIGTERM"
                                                                          : "SIGHUP");
                         });
