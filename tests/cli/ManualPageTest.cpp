// The manual page documents the command line the program takes: every exit code of its
// help with the same meaning, and it formats without warnings.
#include "CliTestSupport.h"

#include "cli/ExitCodes.h"

#include <QStandardPaths>

using namespace kestrune;
using namespace kestrune::test;

namespace {

QString manualPage() {
    QFile page(
        QDir(QStringLiteral(KESTRUNE_PACKAGING_FILES)).filePath(QStringLiteral("kestrune-cli.1")));
    return page.open(QIODevice::ReadOnly) ? QString::fromUtf8(page.readAll()) : QString();
}

// The page's text as a reader sees its words: escapes gone, lines joined.
QString wordsOf(QString source) {
    source.replace(QStringLiteral("\\-"), QStringLiteral("-"));
    source.replace(QStringLiteral("\\(em"), QStringLiteral("-"));
    return source.simplified();
}

} // namespace

TEST(CliManualPage, ListsEveryExitCodeOfTheHelpWithItsMeaning) {
    const QString page = manualPage();
    ASSERT_FALSE(page.isEmpty());
    const QString words = wordsOf(page);
    for (const cli::ExitCodeMeaning& entry : cli::exitCodeMeanings()) {
        const QString expected =
            QStringLiteral(".B %1 %2").arg(entry.code).arg(QString::fromLatin1(entry.meaning));
        EXPECT_TRUE(words.contains(expected)) << expected.toStdString();
    }
    for (const char* option :
         {"--json", "--algorithm", "--format", "--no-format", "--yes", "--trace", "--help",
          "--version", "--asset", "--source", "KESTRUNE_SIMULATED_DISKS"})
        EXPECT_TRUE(words.contains(QString::fromLatin1(option))) << option;
}

TEST(CliManualPage, FormatsWithoutWarnings) {
    if (QStandardPaths::findExecutable(QStringLiteral("groff")).isEmpty())
        GTEST_SKIP() << "groff is not installed";
    QProcess groff;
    groff.setProcessChannelMode(QProcess::MergedChannels);
    groff.start(QStringLiteral("groff"),
                {QStringLiteral("-man"), QStringLiteral("-ww"), QStringLiteral("-z"),
                 QDir(QStringLiteral(KESTRUNE_PACKAGING_FILES))
                     .filePath(QStringLiteral("kestrune-cli.1"))});
    ASSERT_TRUE(groff.waitForFinished(60000));
    EXPECT_EQ(groff.exitCode(), 0);
    EXPECT_EQ(QString::fromUtf8(groff.readAll()), QString());
}
