// Without --yes the program shows what it will erase and asks on the terminal; anything but
// a yes, the end of the input, or no terminal at all erases nothing. On a terminal the jobs'
// lines are redrawn in place.
#include "CliTestSupport.h"
#include "LanguageChoice.h"

using namespace kestrune;
using namespace kestrune::test;

namespace {

class CliQuestion : public CliTest {
protected:
    void SetUp() override {
        CliTest::SetUp();
        if (IsSkipped() || HasFatalFailure())
            return;
        image = makeImage(QStringLiteral("stick.img"), 32 << 20);
        setUser("\\Settings", "FormatDrive", 0);
    }
    TerminalRun answer(const QByteArray& typed, const QStringList& options = {}) const {
        return runOnTerminal(cli(),
                             QStringList{QStringLiteral("shred")} + options + QStringList{image},
                             environment(), text("cli_answer_prompt").toUtf8(), typed);
    }
    QString image;
};

} // namespace

TEST_F(CliQuestion, WithoutATerminalToAnswerNothingIsErased) {
    const CliResult result = run({QStringLiteral("shred"), image});
    EXPECT_EQ(result.exitCode, 4);
    for (const char* key : {"cli_question_erase", "cli_no_terminal", "cli_nothing_erased"})
        EXPECT_TRUE(result.errors.contains(text(key))) << key << "\n"
                                                       << result.errors.toStdString();
    // What would have been erased is shown first.
    EXPECT_TRUE(result.errors.contains(image)) << result.errors.toStdString();
    EXPECT_TRUE(holdsSecret(image));
    EXPECT_TRUE(reports().isEmpty());
}

TEST_F(CliQuestion, AnythingButYesOnTheTerminalErasesNothing) {
    // No, Enter (the default is No), something else, and the end of the input.
    for (const QByteArray& typed :
         {QByteArray("n\n"), QByteArray("\n"), QByteArray("maybe\n"), QByteArray("\x04")}) {
        const TerminalRun run = answer(typed);
        SCOPED_TRACE(typed.toStdString());
        EXPECT_EQ(run.exitCode, 4) << run.transcript.toStdString();
        EXPECT_TRUE(run.transcript.contains(text("cli_question_erase").toUtf8()));
        EXPECT_TRUE(run.transcript.contains(text("cli_nothing_erased").toUtf8()));
        EXPECT_TRUE(holdsSecret(image));
    }
    EXPECT_TRUE(reports().isEmpty());
}

TEST_F(CliQuestion, YesOnTheTerminalErasesWithLinesRedrawnInPlace) {
    // Three passes: the job's line changes while it runs.
    const TerminalRun run = answer("yes\n", {QStringLiteral("--algorithm"), QStringLiteral("102")});
    ASSERT_EQ(run.exitCode, 0) << run.transcript.toStdString();
    EXPECT_FALSE(holdsSecret(image));
    EXPECT_EQ(reports().size(), 1);
    // The job's line is drawn, then drawn again over itself with its bar full.
    EXPECT_TRUE(run.transcript.contains("\x1b[1A\r\x1b[J")) << run.transcript.toStdString();
    EXPECT_TRUE(run.transcript.contains((QStringLiteral("[####################] 100 %")).toUtf8()))
        << run.transcript.toStdString();
    EXPECT_TRUE(run.transcript.contains(text("status_shredded").toUtf8()));
}

TEST_F(CliQuestion, TheQuestionAndItsAnswerAreInTheUsersLanguage) {
    chooseLanguage(QStringLiteral("DE"));
    ASSERT_EQ(text("cli_answer_prompt"), "[j/N]");
    const TerminalRun run = answer("j\n");
    ASSERT_EQ(run.exitCode, 0) << run.transcript.toStdString();
    EXPECT_TRUE(run.transcript.contains(text("cli_question_erase").toUtf8()));
    EXPECT_FALSE(holdsSecret(image));
}
