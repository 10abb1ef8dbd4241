#include "shred/ShredReport.h"
#include "TestSupport.h"
#include "lang/LanguageManager.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <gtest/gtest.h>

using namespace kestrune;
using platform::RegistryRoot;

namespace {

class ShredReportTest : public ::testing::Test {
protected:
    void SetUp() override {
        test::messages().clear();
        test::registerComponentDirectory(QStringLiteral("VSKLanguage.dll"), test::binDir());
        language = std::make_shared<LanguageManager>();
        ASSERT_TRUE(language->HasLanguages()) << "language components not built";
        test::writeRegistryString(RegistryRoot::LocalMachine, test::productKey("\\Settings"),
                                  QStringLiteral("LogPath"), logs.path());
    }
    void TearDown() override { ShredReport::setSaveFileAsker({}); }

    static bool wellFormed(const QString& path) {
        return QProcess::execute(QStringLiteral("xmllint"), {QStringLiteral("--noout"), path}) == 0;
    }
    static QString read(const QString& path) {
        QFile file(path);
        return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
    }

    test::ScopedRegistry registry;
    QTemporaryDir logs;
    std::shared_ptr<LanguageManager> language;
};

} // namespace

TEST_F(ShredReportTest, WritesTheLinesInOrderAsValidEscapedUtf8Xml) {
    ShredReport report(102, language);
    report.addHardwareItems(QStringLiteral("SN<1>"), QStringLiteral("Smith & Söhne"),
                            QStringLiteral("Stick \"Pro\""), QStringLiteral("3.73"),
                            QStringLiteral("USB"));
    report.setCleaned();
    ASSERT_EQ(report.finish(), 1);
    const QString path = report.writtenPath();
    ASSERT_TRUE(path.startsWith(logs.path()));
    EXPECT_TRUE(wellFormed(path));
    const QString body = read(path);
    const QStringList lines = body.split(u'\n', Qt::SkipEmptyParts);
    ASSERT_GE(lines.size(), 18);
    EXPECT_EQ(lines[0], QStringLiteral("<?xml version=\"1.0\" encoding=\"UTF-8\" ?>"));
    EXPECT_EQ(lines[1], QStringLiteral("<reports>"));
    EXPECT_TRUE(lines[2].startsWith(QStringLiteral("<report id=\"")));
    EXPECT_TRUE(lines[4].startsWith(QStringLiteral("<item name=\"date\" source=\"hw\">")));
    EXPECT_TRUE(body.contains(
        QStringLiteral("<item name=\"make\" source=\"hw\">Smith &amp; Söhne</item>")));
    EXPECT_TRUE(
        body.contains(QStringLiteral("product=\"Smith &amp; Söhne Stick &quot;Pro&quot;\"")));
    EXPECT_TRUE(body.contains(QStringLiteral("methodn=\"102\" iscleaned=\"1\" isformatted=\"0\"")));
    EXPECT_EQ(lines.last(), QStringLiteral("</reports>"));
}

TEST_F(ShredReportTest, CharactersXmlCannotCarryNeverReachTheReport) {
    // What firmware puts in a name: noncharacters, halves of surrogate pairs, control bytes;
    // a character beyond the basic plane is fine and stays.
    const QString model = QStringLiteral("Stick") + QChar(0xFFFE) + QChar(0xFFFF) + QChar(0xD800) +
                          QStringLiteral("A") + QChar(0xDC00) + QChar(0x01) +
                          QStringLiteral("\U0001F600") + QChar(0xDBFF);
    ShredReport report(100, language);
    report.addHardwareItems(QStringLiteral("SN"), QStringLiteral("Make"), model,
                            QStringLiteral("1.00"), QStringLiteral("USB"));
    ASSERT_EQ(report.finish(), 1);
    EXPECT_TRUE(wellFormed(report.writtenPath()));
    EXPECT_TRUE(read(report.writtenPath()).contains(QStringLiteral(">StickA\U0001F600</item>")));
}

TEST_F(ShredReportTest, EveryReportHasItsOwnIdentifier) {
    ShredReport first(100, language), second(100, language);
    EXPECT_NE(first.body().section(u'\n', 2, 2), second.body().section(u'\n', 2, 2));
}

TEST_F(ShredReportTest, TakenNamesGetCounters) {
    ShredReport report(100, language);
    const QString base = report.makeReportFileName();
    ASSERT_TRUE(base.endsWith(QStringLiteral(".xml")));
    const QString stem = base.chopped(4);
    for (const QString& name : {base, stem + QStringLiteral("(1).xml")}) {
        QFile file(name);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    }
    // A name whose certificate name is taken is passed over too, so the pair stays a pair.
    QFile certificate(stem + QStringLiteral("(2).pdf"));
    ASSERT_TRUE(certificate.open(QIODevice::WriteOnly));
    certificate.close();
    ASSERT_EQ(report.finish(), 1);
    EXPECT_EQ(report.writtenPath(), stem + QStringLiteral("(3).xml"));
    // The existing files were not touched.
    EXPECT_EQ(QFile(base).size(), 0);
    EXPECT_EQ(certificate.size(), 0);
}

TEST_F(ShredReportTest, WithoutLogPathTheReportGoesBelowTheUserDataFolder) {
    QTemporaryDir dataHome;
    const QByteArray previous = qgetenv("XDG_DATA_HOME");
    qputenv("XDG_DATA_HOME", dataHome.path().toLocal8Bit());
    test::ScopedRegistry empty;
    test::registerComponentDirectory(QStringLiteral("VSKLanguage.dll"), test::binDir());
    ShredReport report(101, language);
    EXPECT_EQ(report.logFolder(),
              dataHome.path() + QStringLiteral("/Vaskor Security/Vaskor Kestrune/Logs/"));
    ASSERT_EQ(report.finish(), 1);
    EXPECT_TRUE(QFile::exists(report.writtenPath()));
    qputenv("XDG_DATA_HOME", previous);
}

TEST_F(ShredReportTest, AnUnwritableFolderAsksForANameAndCancelDropsTheReport) {
    QFile blocker(logs.filePath(QStringLiteral("not-a-folder")));
    ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    test::writeRegistryString(RegistryRoot::LocalMachine, test::productKey("\\Settings"),
                              QStringLiteral("LogPath"), blocker.fileName() + QStringLiteral("/x"));
    int asked = 0;
    const QString chosen = logs.filePath(QStringLiteral("chosen.xml"));
    ShredReport::setSaveFileAsker(
        [&](const QString&) { return ++asked == 1 ? chosen : QString(); });
    ShredReport saved(100, language);
    ASSERT_EQ(saved.finish(), 1);
    EXPECT_EQ(saved.writtenPath(), chosen);
    EXPECT_TRUE(wellFormed(chosen));
    ShredReport dropped(100, language);
    EXPECT_EQ(dropped.finish(), 0);
    EXPECT_EQ(asked, 2);
}

// The sanitization in the standards' terms, after every element the report had before, which
// stay as they were; values from outside are escaped, facts not known are left out.
TEST_F(ShredReportTest, TheSanitizationElementFollowsTheHardwareWithTheCertificatesFacts) {
    auto xpath = [](const QString& path, const char* expression) {
        QProcess xmllint;
        xmllint.start(QStringLiteral("xmllint"),
                      {QStringLiteral("--xpath"), QString::fromLatin1(expression), path});
        xmllint.waitForFinished();
        return QString::fromUtf8(xmllint.readAllStandardOutput()).trimmed();
    };
    ShredReport report(102, language);
    report.addHardwareItems(QStringLiteral("SN1"), QStringLiteral("Acme"), QStringLiteral("Card"),
                            QStringLiteral("0.06"), QStringLiteral("USB"));
    report.setCleaned();
    report.setOutcome(JobStatus::Formatted, 67108864);
    report.setUsableCapacity(67108864);
    report.setVerification(ReportVerification::Passed);
    report.setPassesDone(3);
    JobProvenance who;
    who.toolName = QStringLiteral("Vaskor Kestrune");
    who.toolVersion = QStringLiteral("1.0.0.1");
    who.mediumType = platform::MediumType::MemoryCard;
    who.operatorLogin = QStringLiteral("jdoe");
    who.operatorName = QStringLiteral("Jane \"JD\" Doe");
    who.organisation = QStringLiteral("Smith & Sons");
    who.location = QStringLiteral("Hall <3>");
    who.asset = QStringLiteral("INV-1");
    report.setProvenance(who);
    ASSERT_EQ(report.finish(), 1);
    const QString path = report.writtenPath();
    ASSERT_TRUE(wellFormed(path));
    const QString body = read(path);
    // Start and end with their zone: the same moments wherever the record is read.
    const QRegularExpression times(QStringLiteral(
        "method=\"Clear\" started=\"([^\"]+[+-]\\d\\d:\\d\\d)\" ended=\"([^\"]+)\">\n"));
    const QRegularExpressionMatch moments = times.match(body);
    ASSERT_TRUE(moments.hasMatch()) << body.toStdString();
    EXPECT_EQ(QDateTime::fromString(moments.captured(1), Qt::ISODate).toSecsSinceEpoch(),
              report.startTime());
    EXPECT_EQ(QDateTime::fromString(moments.captured(2), Qt::ISODate).toSecsSinceEpoch(),
              report.finishTime());
    EXPECT_TRUE(body.contains(QStringLiteral(
        "<verification result=\"passed\"/>\n</disk>\n</cleaner>\n</hardware>\n"
        "<sanitization standard=\"NIST SP 800-88 Rev. 2\" techniques=\"IEEE 2883-2022\" "
        "method=\"Clear\"")));
    EXPECT_TRUE(body.contains(QStringLiteral(
        "<technique name=\"overwrite\" algorithm=\"102\" passes=\"3\" passesdone=\"3\" "
        "patterns=\"0x00, 0xFF, random\"/>\n"
        "<readback method=\"full read-back\" result=\"passed\"/>\n"
        "<progress state=\"ended\" phase=\"starting\" recorded=\"")))
        << body.toStdString();
    EXPECT_TRUE(body.contains(
        QStringLiteral("<readback checked=\"0\" of=\"67108864\"/>\n</progress>\n"
                       "<tool name=\"Vaskor Kestrune\" version=\"1.0.0.1\"/>\n"
                       "<medium type=\"memory card\"/>\n"
                       "<operator login=\"jdoe\" name=\"Jane &quot;JD&quot; Doe\"/>\n"
                       "<organisation name=\"Smith &amp; Sons\" location=\"Hall &lt;3&gt;\"/>\n"
                       "<asset number=\"INV-1\"/>\n"
                       "</sanitization>\n</report>\n</reports>\n")))
        << body.toStdString();
    EXPECT_EQ(xpath(path, "string(/reports/report/sanitization/organisation/@location)"),
              QStringLiteral("Hall <3>"));
    EXPECT_EQ(xpath(path, "count(/reports/report/hardware/cleaner/disk/*)"), QStringLiteral("5"));

    // An aborted job: Clear not reached, how far the read-back got, nothing made up.
    ShredReport aborted(103, language);
    aborted.setOutcome(JobStatus::Aborted, 67108864);
    aborted.setVerification(ReportVerification::Interrupted, 4096);
    JobProvenance unknown;
    unknown.toolName = QStringLiteral("Vaskor Kestrune");
    unknown.operatorLogin = QStringLiteral("root");
    aborted.setProvenance(unknown);
    ASSERT_EQ(aborted.finish(), 1);
    ASSERT_TRUE(wellFormed(aborted.writtenPath()));
    const QString partial = read(aborted.writtenPath());
    for (const char* line :
         {"<verification result=\"not reached\"/>", "method=\"not reached\" started=",
          "<technique name=\"overwrite\" algorithm=\"103\" passes=\"35\" patterns=\"4 x random, "
          "27 fixed patterns in random order, 4 x random\"/>",
          "<readback method=\"full read-back\" result=\"interrupted\" offset=\"4096\"/>",
          "<tool name=\"Vaskor Kestrune\"/>", "<medium type=\"disk\"/>",
          "<operator login=\"root\"/>"})
        EXPECT_TRUE(partial.contains(QString::fromLatin1(line))) << line << "\n"
                                                                 << partial.toStdString();
    for (const char* absent : {"<organisation", "<asset", "passesdone"})
        EXPECT_FALSE(partial.contains(QString::fromLatin1(absent))) << absent;
}
