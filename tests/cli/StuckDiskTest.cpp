// A disk that stops answering while its job runs: an abort cannot reach it, so after the
// abort wait the command gives up on it, names it, writes its report as aborted and ends;
// the job, once the disk answers again, writes no second report.
#include "CliTestSupport.h"
#include "TestFileSystem.h"

#include "cli/CliArguments.h"
#include "cli/Console.h"
#include "cli/ShredCommand.h"
#include "cli/TerminalMessages.h"
#include "shred/ShredJobs.h"

#include <QTest>
#include <QTimer>
#include <csignal>
#include <cstdio>

using namespace kestrune;
using namespace kestrune::test;

TEST_F(CliTest, AnAbortThatCannotReachTheDiskGivesUpOnItNamesItAndKeepsItsReport) {
    KESTRUNE_SKIP_WITHOUT_TESTFS();
    TestFileSystemOptions options;
    options.size = 32 << 20;
    options.directIo = true;
    options.stallWhat = TestFileSystemOptions::StallWhat::Writes;
    options.fileName = QStringLiteral("stuck.img");
    TestFileSystem fs(options);
    ASSERT_TRUE(fs.mounted()) << fs.error().toStdString();
    ScopedEnvironment simulated("KESTRUNE_SIMULATED_DISKS", QFile::encodeName(fs.mountDir()));
    ASSERT_TRUE(fs.stall(true));

    std::FILE* output = std::tmpfile();
    std::FILE* errors = std::tmpfile();
    ASSERT_TRUE(output && errors);
    cli::Console::Setup setup;
    setup.output = output;
    setup.errors = errors;
    cli::Console console(setup);
    cli::TerminalMessageService service(console);
    cli::ShredCommand command(console, service);
    command.setAbortWait(std::chrono::seconds(2));
    cli::CliArguments arguments;
    arguments.command = cli::CliArguments::Command::Shred;
    arguments.yes = true;
    arguments.algorithm = 101;
    arguments.format = false;
    arguments.disks = {fs.imagePath()};

    // Ctrl+C once the job hangs in a write: before that, an abort would still reach it.
    QTimer interrupt;
    interrupt.setInterval(100);
    QObject::connect(&interrupt, &QTimer::timeout, [&] {
        if (fs.holdsARequest()) {
            interrupt.stop();
            std::raise(SIGINT);
        }
    });
    interrupt.start();
    const int status = command.run(arguments);

    EXPECT_EQ(status, 15);
    EXPECT_TRUE(command.leftJobsRunning());
    EXPECT_EQ(ShredJobs::runningInProcess(), 1) << "still stuck in the kernel";
    const QString said = contentOf(errors);
    EXPECT_TRUE(said.contains(text("cli_aborting"))) << said.toStdString();
    EXPECT_TRUE(said.contains(text("message_jobs_unfinished").left(30))) << said.toStdString();
    EXPECT_TRUE(said.contains(QStringLiteral("stuck.img"))) << said.toStdString();
    QStringList written = reports();
    ASSERT_EQ(written.size(), 1);
    EXPECT_TRUE(readText(written[0]).contains(QStringLiteral("<result status=\"-3\"")));
    const QString shown = contentOf(output);
    EXPECT_TRUE(shown.startsWith(text("cli_column_disk"))) << shown.toStdString();
    EXPECT_TRUE(shown.contains(filled("cli_report_of", {QStringLiteral("stuck.img"), written[0]})))
        << shown.toStdString();

    ASSERT_TRUE(fs.stall(false));
    ASSERT_TRUE(QTest::qWaitFor([] { return ShredJobs::runningInProcess() == 0; }, 30000));
    EXPECT_EQ(reports().size(), 1);
    std::fclose(output);
    std::fclose(errors);
}
