// kestrune-cli killed with SIGKILL in each phase of a job on a slow stick: the job's record
// was on disk, and the next start completes it as interrupted, with how far the job got and a
// certificate of a job not completed beside it.
#include "CliTestSupport.h"
#include "PdfText.h"
#include "TestFileSystem.h"
#include "shred/ErasureCertificate.h"

#include <QRegularExpression>
#include <QTest>
#include <csignal>

using namespace kestrune;
using namespace kestrune::test;

namespace {

struct KilledPhase {
    const char* name;
    const char* algorithm;
    const char* format;
    const char* phase;    // as the record names it
    const char* progress; // what the record says once the phase has got somewhere
};

class CliKilledJob : public CliTest, public ::testing::WithParamInterface<KilledPhase> {};

// The one record in the folder once it says the job got somewhere in that phase.
QString recordIn(const QStringList& reports, const KilledPhase& killed) {
    const QRegularExpression progressed(
        QStringLiteral("<progress state=\"running\" phase=\"%1\""
                       "[^\n]*\n([^\n]*\n)*?[^\n]*%2")
            .arg(QLatin1String(killed.phase), QLatin1String(killed.progress)));
    for (const QString& path : reports)
        if (progressed.match(CliTest::readText(path)).hasMatch())
            return path;
    return {};
}

} // namespace

TEST_P(CliKilledJob, TheNextStartCompletesItsRecordAsInterrupted) {
    KESTRUNE_SKIP_WITHOUT_TESTFS();
    KESTRUNE_SKIP_WITHOUT_PDF_TOOLS();
    const KilledPhase& killed = GetParam();
    TestFileSystemOptions options;
    options.size = 24 << 20;
    options.rate = 4 << 20; // each phase takes longer than the record waits between updates
    options.directIo = true;
    options.fileName = QStringLiteral("slow.img");
    TestFileSystem fs(options);
    ASSERT_TRUE(fs.mounted()) << fs.error().toStdString();
    simulatedDisks = fs.mountDir();

    auto process = start({QStringLiteral("shred"), QStringLiteral("--yes"),
                          QStringLiteral("--algorithm"), QString::fromLatin1(killed.algorithm),
                          QString::fromLatin1(killed.format), fs.imagePath()});
    const QString phase = QString::fromLatin1(killed.phase);
    QString record;
    ASSERT_TRUE(
        QTest::qWaitFor([&] { return !(record = recordIn(reports(), killed)).isEmpty(); }, 90000))
        << "no record said " << killed.phase << ": "
        << QString::fromUtf8(process->readAllStandardError()).toStdString();
    ASSERT_EQ(::kill(static_cast<pid_t>(process->processId()), SIGKILL), 0);
    ASSERT_TRUE(process->waitForFinished(30000));
    const QString left = readText(record);
    ASSERT_TRUE(left.contains(QStringLiteral("state=\"running\""))) << left.toStdString();

    const CliResult next = run({QStringLiteral("list")});
    EXPECT_EQ(next.exitCode, 0) << next.errors.toStdString();
    EXPECT_TRUE(next.errors.contains(filled("cli_interrupted_job", {record})))
        << next.errors.toStdString();

    ASSERT_EQ(reports(), QStringList{record});
    EXPECT_EQ(QProcess::execute(QStringLiteral("xmllint"), {QStringLiteral("--noout"), record}), 0);
    const QString report = readText(record);
    EXPECT_TRUE(report.contains(QStringLiteral("<result status=\"-17\""))) << report.toStdString();
    EXPECT_TRUE(
        report.contains(QStringLiteral("<progress state=\"interrupted\" phase=\"%1\"").arg(phase)))
        << report.toStdString();
    // The last progress recorded: something of the phase it died in, all of those before.
    const QRegularExpression pass(QStringLiteral("<pass number=\"\\d+\" written=\"(\\d+)\""));
    auto passes = pass.globalMatch(report);
    ASSERT_TRUE(passes.hasNext()) << report.toStdString();
    const qint64 firstPass = passes.next().captured(1).toLongLong();
    if (phase == u"pass")
        EXPECT_GT(firstPass, 0) << report.toStdString();
    else
        EXPECT_EQ(firstPass, qint64(options.size)) << report.toStdString();
    EXPECT_EQ(report.contains(QStringLiteral("<readback checked=\"0\"")), phase == u"pass")
        << report.toStdString();
    EXPECT_FALSE(report.contains(QStringLiteral("usable="))) << "never measured";

    // Cut short in its format, the job had erased the medium and read it back.
    const QString page = pdfText(certificatePathFor(record));
    const bool erased = phase == u"format";
    EXPECT_TRUE(
        page.contains(text(erased ? "cert_title_not_certified" : "cert_title_not_completed")))
        << page.toStdString();
    EXPECT_EQ(report.contains(QStringLiteral("iscleaned=\"1\"")), erased) << report.toStdString();
    if (!erased) {
        EXPECT_TRUE(page.contains(text("cert_capacity_not_measured").left(12)))
            << page.toStdString();
    }
    EXPECT_TRUE(QDir(logs.path())
                    .entryList({QStringLiteral(".*.running")}, QDir::Hidden | QDir::Files)
                    .isEmpty());
    // Completed once: the start after that finds nothing to do.
    const CliResult third = run({QStringLiteral("list")});
    EXPECT_FALSE(third.errors.contains(filled("cli_interrupted_job", {record})));
}

INSTANTIATE_TEST_SUITE_P(
    Phases, CliKilledJob,
    ::testing::Values(KilledPhase{"Passes", "102", "--no-format", "pass", "written=\"[1-9]"},
                      KilledPhase{"ReadBack", "100", "--no-format", "read-back",
                                  "<readback checked=\"[1-9]"},
                      KilledPhase{"Format", "101", "--format", "format", "</progress>"}),
    [](const ::testing::TestParamInfo<KilledPhase>& phase) {
        return std::string(phase.param.name);
    });
