// kestrune-cli on a counterfeit stick whose controller cache answers the markers read back
// at once: the run still ends with the counterfeit code and says what the stick keeps.
#include "CliTestSupport.h"
#include "TestFileSystem.h"

#include "cli/CliArguments.h"
#include "cli/Console.h"
#include "cli/ShredCommand.h"
#include "cli/TerminalMessages.h"
#include "devices/ScanDevices.h"
#include "shred/ShredStatusDisplay.h"

#include <cstdio>

using namespace kestrune;
using namespace kestrune::test;

TEST_F(CliTest, ACounterfeitStickBehindACacheEndsWithTheCounterfeitCode) {
    KESTRUNE_SKIP_WITHOUT_TESTFS();
    TestFileSystemOptions options;
    options.size = 24 << 20;
    options.usable = (9 << 20) + 1536;
    options.pastUsable = TestFileSystemOptions::PastUsable::Wrap;
    options.cache = 8 << 20; // more than all the markers of the first reading
    options.directIo = true;
    options.fileName = QStringLiteral("fake.img");
    TestFileSystem fs(options);
    ASSERT_TRUE(fs.mounted()) << fs.error().toStdString();
    ScopedEnvironment simulated("KESTRUNE_SIMULATED_DISKS", QFile::encodeName(fs.mountDir()));

    std::FILE* output = std::tmpfile();
    std::FILE* errors = std::tmpfile();
    ASSERT_TRUE(output && errors);
    cli::Console::Setup setup;
    setup.output = output;
    setup.errors = errors;
    cli::Console console(setup);
    cli::TerminalMessageService service(console);
    cli::ShredCommand command(console, service);
    cli::CliArguments arguments;
    arguments.command = cli::CliArguments::Command::Shred;
    arguments.yes = true;
    arguments.algorithm = 100;
    arguments.format = false;
    arguments.disks = {fs.imagePath()};

    EXPECT_EQ(command.run(arguments), 23);
    const QString shown = contentOf(output);
    const QString expected =
        FormatWithOneText(text("status_failed_counterfeit"),
                          formatSizeText(static_cast<std::int64_t>(options.usable)));
    EXPECT_TRUE(shown.contains(expected)) << shown.toStdString();
    const QStringList written = reports();
    ASSERT_EQ(written.size(), 1);
    EXPECT_TRUE(readText(written[0]).contains(QStringLiteral("<result status=\"-14\"")));
    std::fclose(output);
    std::fclose(errors);
}
