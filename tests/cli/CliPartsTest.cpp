// The pieces of the command line that decide on their own: the exit code of several
// outcomes, when a plain line is due, how the live block makes room for a message, options
// read in any order, and what of a text may reach the terminal.
#include "cli/CliArguments.h"
#include "cli/CliText.h"
#include "cli/Console.h"
#include "cli/ExitCodes.h"
#include "cli/ProgressLines.h"

#include <QFile>
#include <QTemporaryFile>
#include <gtest/gtest.h>
#include <kestrune/shred_abi.h>

using namespace kestrune;
using namespace kestrune::cli;

TEST(CliExitCodes, SeveralDisksEndWithTheGravestOutcome) {
    // A status no code names yet is still a failure.
    EXPECT_EQ(exitCodeOfJob(JobStatus{-77}, true), ExitOtherFailure);
    // A missing report makes a success a failure, but never hides a graver one.
    EXPECT_EQ(exitCodeOfJob(JobStatus::Formatted, false), ExitReportNotWritten);
    EXPECT_EQ(exitCodeOfJob(JobStatus::FailedVerify, false), ExitVerificationFailed);
    EXPECT_EQ(worstExitCode({ExitSuccess, exitCodeOfJob(JobStatus::FailedVerify, true),
                             exitCodeOfJob(JobStatus::Aborted, true)}),
              ExitVerificationFailed);
    EXPECT_EQ(worstExitCode({}), ExitSuccess);
    EXPECT_EQ(exitCodeOfJob(JobStatus::FailedCounterfeit, true), ExitCounterfeit);
    EXPECT_EQ(exitCodeOfJob(JobStatus::FailedWriteProtected, true), ExitWriteProtected);
    EXPECT_EQ(exitCodeOfJob(JobStatus::FailedHeld, true), ExitDiskBusy);
    EXPECT_EQ(exitCodeOfJob(JobStatus::FailedFormat, true, true), ExitFormatFailed);
    EXPECT_EQ(exitCodeOfJob(JobStatus::FailedFormat, true, false), ExitOtherFailure);

    // Every code is listed once, in rising order, for the help and the manual page.
    int previous = -1;
    for (const ExitCodeMeaning& entry : exitCodeMeanings()) {
        EXPECT_GT(entry.code, previous);
        previous = entry.code;
    }
}

TEST(CliPlainLines, AChangedStatusIsShownAtOnceChangedFiguresAtMostOncePerInterval) {
    using Clock = PlainLineThrottle::Clock;
    PlainLineThrottle throttle(2, std::chrono::seconds(5));
    const Clock::time_point start = Clock::now();
    JobRow row;
    row.status = QStringLiteral("Shredding...");
    EXPECT_TRUE(throttle.due(0, row, start));
    EXPECT_TRUE(throttle.due(1, row, start)) << "each job has its own first line";
    EXPECT_FALSE(throttle.due(0, row, start + std::chrono::seconds(9))) << "nothing changed";
    row.progress = 10;
    EXPECT_FALSE(throttle.due(0, row, start + std::chrono::seconds(1)));
    EXPECT_TRUE(throttle.due(0, row, start + std::chrono::seconds(5)));
    row.progress = 11;
    row.status = QStringLiteral("Aborted");
    EXPECT_TRUE(throttle.due(0, row, start + std::chrono::seconds(6)));
    EXPECT_FALSE(throttle.due(0, row, start + std::chrono::seconds(7)));
}

namespace {

QByteArray consoleOutput(bool errorsAreTerminal, const std::function<void(Console&)>& use) {
    QTemporaryFile file;
    EXPECT_TRUE(file.open());
    std::FILE* stream = std::fopen(QFile::encodeName(file.fileName()).constData(), "w");
    Console::Setup setup;
    setup.output = stream;
    setup.outputIsTerminal = true;
    setup.errorsAreTerminal = errorsAreTerminal;
    Console console(setup);
    use(console);
    std::fclose(stream);
    return file.readAll();
}

} // namespace

TEST(CliConsole, AMessageTakesTheLiveBlocksPlaceOnOneTerminal) {
    const QByteArray shared = consoleOutput(true, [](Console& console) {
        console.showLive({QStringLiteral("a 1"), QStringLiteral("b 1")});
        console.showLive({QStringLiteral("a 1"), QStringLiteral("b 1")}); // unchanged: no redraw
        console.message(QStringLiteral("hello"));
        console.showLive({QStringLiteral("a 2"), QStringLiteral("b 2")});
        console.keepLive();
        console.print(QStringLiteral("done"));
    });
    EXPECT_EQ(shared, QByteArray("a 1\nb 1\n"
                                 "\x1b[2A\r\x1b[J" // erased for the message on standard error
                                 "a 1\nb 1\n"
                                 "\x1b[2A\r\x1b[J"
                                 "a 2\nb 2\n"
                                 "done\n"));
    // Messages that go elsewhere leave the block where it is.
    const QByteArray apart = consoleOutput(false, [](Console& console) {
        console.showLive({QStringLiteral("a 1")});
        console.message(QStringLiteral("hello"));
        console.showLive({QStringLiteral("a 2")});
    });
    EXPECT_EQ(apart, QByteArray("a 1\n\x1b[1A\r\x1b[Ja 2\n"));
}

TEST(CliArguments, OptionsStandAnywhereAndTwoDashesEndThem) {
    const ParsedArguments parsed =
        parseArguments({QStringLiteral("-y"), QStringLiteral("shred"), QStringLiteral("/dev/sdb"),
                        QStringLiteral("--algorithm=103"), QStringLiteral("--no-format"),
                        QStringLiteral("--"), QStringLiteral("--yes")});
    ASSERT_TRUE(parsed.arguments) << parsed.error.toStdString();
    EXPECT_EQ(parsed.arguments->command, CliArguments::Command::Shred);
    EXPECT_TRUE(parsed.arguments->yes);
    EXPECT_EQ(parsed.arguments->algorithm, 103);
    EXPECT_EQ(parsed.arguments->format, false);
    // After "--" a disk may be named like an option.
    EXPECT_EQ(parsed.arguments->disks,
              (QStringList{QStringLiteral("/dev/sdb"), QStringLiteral("--yes")}));
    EXPECT_FALSE(parseArguments({QStringLiteral("shred"), QStringLiteral("-a"),
                                 QStringLiteral("104"), QStringLiteral("x")})
                     .arguments);
    // Options that contradict each other are refused, not settled by their order.
    const ParsedArguments both =
        parseArguments({QStringLiteral("shred"), QStringLiteral("--format"), QStringLiteral("x"),
                        QStringLiteral("--no-format")});
    EXPECT_FALSE(both.arguments);
    EXPECT_EQ(both.error, QStringLiteral("--format and --no-format contradict each other: give "
                                         "one of them"));
}

TEST(CliArguments, AnAssetNumberIsOnePrintableTextForOneDisk) {
    auto parse = [](QStringList arguments) {
        arguments.prepend(QStringLiteral("shred"));
        return parseArguments(arguments);
    };
    ParsedArguments parsed = parse(
        {QStringLiteral("--asset"), QStringLiteral(" INV-20417 "), QStringLiteral("/dev/sdb")});
    ASSERT_TRUE(parsed.arguments) << parsed.error.toStdString();
    EXPECT_EQ(parsed.arguments->asset, QStringLiteral("INV-20417"));
    parsed = parse({QStringLiteral("/dev/sdb"), QStringLiteral("--asset=Büro 3/17")});
    ASSERT_TRUE(parsed.arguments) << parsed.error.toStdString();
    EXPECT_EQ(parsed.arguments->asset, QStringLiteral("Büro 3/17"));

    const std::vector<std::pair<QStringList, QString>> wrong = {
        {{QStringLiteral("/dev/sdb"), QStringLiteral("--asset")},
         QStringLiteral("--asset needs the medium's asset number")},
        {{QStringLiteral("--asset=  "), QStringLiteral("/dev/sdb")},
         QStringLiteral("--asset needs the medium's asset number")},
        {{QStringLiteral("--asset"), QString(65, u'x'), QStringLiteral("/dev/sdb")},
         QStringLiteral("--asset takes at most 64 characters, not 65")},
        {{QStringLiteral("--asset"), QStringLiteral("INV\n1"), QStringLiteral("/dev/sdb")},
         QStringLiteral("--asset takes printable characters only")},
        {{QStringLiteral("--asset"), QStringLiteral("INV\u202e1"), QStringLiteral("/dev/sdb")},
         QStringLiteral("--asset takes printable characters only")},
        {{QStringLiteral("--asset=INV-1"), QStringLiteral("/dev/sdb"), QStringLiteral("/dev/sdc")},
         QStringLiteral("--asset names one medium: give it with one DISK")},
    };
    for (const auto& [arguments, error] : wrong) {
        SCOPED_TRACE(arguments.join(u' ').toStdString());
        parsed = parse(arguments);
        EXPECT_FALSE(parsed.arguments);
        EXPECT_EQ(parsed.error, error);
    }
    EXPECT_TRUE(helpText(QStringLiteral("kestrune-cli")).contains(QStringLiteral("--asset TEXT")));
}

TEST(CliText, EachPlaceholderTakesTheNextArgumentAndNothingElseIsRead) {
    EXPECT_EQ(FillPlaceholders(QStringLiteral("%s: report %s"),
                               {QStringLiteral("sdb"), QStringLiteral("r.xml")}),
              QStringLiteral("sdb: report r.xml"));
    EXPECT_EQ(FillPlaceholders(QStringLiteral("%s %s %d 100%% %"), {QStringLiteral("one")}),
              QStringLiteral("one %s %d 100% %"));
}

TEST(CliConsole, EveryControlCharacterIsShownAsTextThatSaysWhichItWas) {
    const struct {
        QString text;
        LineBreaks breaks;
        QString shown;
    } cases[] = {
        {QStringLiteral("Grüße 🙂 /media/a b"), LineBreaks::Escape,
         QStringLiteral("Grüße 🙂 /media/a b")},
        {QStringLiteral("a\x1b[2Jb\x1b]0;t\x07"), LineBreaks::Escape,
         QStringLiteral("a\\x1b[2Jb\\x1b]0;t\\x07")},
        {QStringLiteral("\t\r\n\x7f"), LineBreaks::Escape, QStringLiteral("\\x09\\x0d\\x0a\\x7f")},
        {QStringLiteral("one\ntwo\r"), LineBreaks::Keep, QStringLiteral("one\ntwo\\x0d")},
        {QString(QChar(0x9b)) + QChar(0x85) + QChar(0x202e) + QChar(0x2066), LineBreaks::Escape,
         QStringLiteral("\\u009b\\u0085\\u202e\\u2066")},
        // A backslash of the name itself cannot be taken for an escape.
        {QStringLiteral("a\\x1b"), LineBreaks::Escape, QStringLiteral("a\\\\x1b")},
        {QString(QChar(0xd800)) + u'x' + QChar(0xdc00), LineBreaks::Escape,
         QStringLiteral("\\ud800x\\udc00")},
        {QString::fromUtf8("a\xff\xc2\x9b"), LineBreaks::Escape, QStringLiteral("a\uFFFD\\u009b")},
    };
    for (const auto& [text, breaks, shown] : cases)
        EXPECT_EQ(terminalSafe(text, breaks), shown) << text.toStdString();
}
