// A copy of the program finds its components only where the registry or its own folder
// puts them: never in the tree it was built in.
#include "ProgramRun.h"
#include "TestSupport.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

using namespace kestrune;

namespace {

const QString kStartTrace = QStringLiteral("Row 0: Start 1124: ");

class CopiedProgramTest : public ::testing::Test {
protected:
    void SetUp() override {
        // Everything but the engine and the update component.
        for (const char* name : {"kestrune", "libkestrune_disknumbers.so", "VSKLanguage.dll",
                                 "VSKLanguageKestrune_NTV.dll", "VSKLanguageKestrune_DE.dll"})
            copy(name);
    }
    void copy(const char* name) {
        const QString source = QDir(test::binDir()).filePath(QString::fromLatin1(name));
        const QString target = copyDir.filePath(QString::fromLatin1(name));
        ASSERT_TRUE(QFile::copy(source, target)) << name;
    }
    static QStringList fromBuildTree(const QStringList& files) {
        QStringList found;
        for (const QString& file : files)
            if (file.startsWith(test::binDir() + QLatin1Char('/')))
                found << file;
        return found;
    }

    QTemporaryDir copyDir;
    QTemporaryDir registry; // no hive at all: nothing registered
};

} // namespace

TEST_F(CopiedProgramTest, MissingComponentsAreNotTakenFromTheBuildTree) {
    test::ProgramRun run(copyDir.filePath("kestrune"), registry.path());
    ASSERT_TRUE(run.started());
    ASSERT_TRUE(run.waitForLine(kStartTrace, 60000))
        << run.output().toStdString() << run.errors().toStdString();
    const QStringList mapped = run.mappedFiles();
    EXPECT_TRUE(mapped.contains(copyDir.filePath("VSKLanguage.dll")))
        << mapped.join(' ').toStdString();
    EXPECT_TRUE(mapped.contains(copyDir.filePath("libkestrune_disknumbers.so")));
    EXPECT_EQ(fromBuildTree(mapped), QStringList());
    run.end();
    // The start-up update check needs the update component; the copy has none.
    EXPECT_FALSE(run.output().contains(QStringLiteral("VSKUpdate: ")))
        << run.output().toStdString();
    EXPECT_FALSE(run.output().contains(QStringLiteral("MessageBox: ")));
}

TEST_F(CopiedProgramTest, AComponentBesideTheProgramIsFound) {
    copy("VSKUpdate.dll");
    test::ProgramRun run(copyDir.filePath("kestrune"), registry.path());
    ASSERT_TRUE(run.waitForLine(QStringLiteral("VSKUpdate: "), 60000))
        << run.output().toStdString() << run.errors().toStdString();
    ASSERT_TRUE(run.waitForLine(kStartTrace, 60000));
    EXPECT_EQ(fromBuildTree(run.mappedFiles()), QStringList());
}
