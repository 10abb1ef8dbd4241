// The desktop entry, the AppStream metadata and the manual page pass the tools a desktop
// and Debian check them with; the icons are the sizes their folders claim.
#include <QDir>
#include <QImage>
#include <QProcess>
#include <QStandardPaths>
#include <gtest/gtest.h>

namespace {

const QString kGenerated = QStringLiteral(KESTRUNE_PACKAGING_FILES);
const QString kAppId = QStringLiteral(KESTRUNE_PACKAGED_APP_ID);

struct Result {
    int code = -1;
    QString output;
};

Result check(const QString& tool, const QStringList& args) {
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(tool, args);
    process.waitForFinished(120000);
    Result result;
    result.output = QString::fromUtf8(process.readAll());
    result.code = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    return result;
}

bool have(const char* tool) {
    return !QStandardPaths::findExecutable(QString::fromLatin1(tool)).isEmpty();
}

} // namespace

TEST(DesktopFiles, DesktopEntryValidatesWithoutHints) {
    if (!have("desktop-file-validate"))
        GTEST_SKIP() << "desktop-file-validate is not installed (desktop-file-utils)";
    const Result result = check(QStringLiteral("desktop-file-validate"),
                                {QDir(kGenerated).filePath(kAppId + ".desktop")});
    EXPECT_EQ(result.code, 0) << result.output.toStdString();
    EXPECT_EQ(result.output, QString()) << "not even a hint";
}

TEST(DesktopFiles, AppStreamMetadataValidatesPedantically) {
    if (!have("appstreamcli"))
        GTEST_SKIP() << "appstreamcli is not installed (appstream)";
    const Result result = check(QStringLiteral("appstreamcli"),
                                {"validate", "--no-net", "--pedantic",
                                 QDir(kGenerated).filePath(kAppId + ".metainfo.xml")});
    EXPECT_EQ(result.code, 0) << result.output.toStdString();
    EXPECT_FALSE(result.output.contains(QStringLiteral("W:"))) << result.output.toStdString();
    EXPECT_FALSE(result.output.contains(QStringLiteral("I:"))) << result.output.toStdString();
}

TEST(DesktopFiles, ManualPageFormatsWithoutWarnings) {
    if (!have("groff"))
        GTEST_SKIP() << "groff is not installed";
    const Result result = check(QStringLiteral("groff"),
                                {"-man", "-ww", "-z", QDir(kGenerated).filePath("kestrune.1")});
    EXPECT_EQ(result.code, 0) << result.output.toStdString();
    EXPECT_EQ(result.output, QString());
}

TEST(DesktopFiles, IconsHaveTheSizesOfTheirFolders) {
    const QDir icons(QStringLiteral(KESTRUNE_SOURCE_DIR "/res/icons/hicolor"));
    const QStringList sizes = icons.entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    EXPECT_GE(sizes.size(), 4);
    for (const QString& size : sizes) {
        const QImage icon(icons.filePath(size + "/kestrune.png"));
        ASSERT_FALSE(icon.isNull()) << size.toStdString();
        EXPECT_EQ(icon.size(), QSize(size.toInt(), size.toInt())) << size.toStdString();
    }
}
