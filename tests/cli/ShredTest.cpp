// kestrune-cli shred on simulated and loop-backed disks: every disk is erased with the
// window's engine and leaves the window's report; the options hold for one run only; what
// the window refuses is refused with the reason, and then nothing at all is written.
#include "CliTestSupport.h"
#include "PdfText.h"
#include "shred/ErasureCertificate.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <sys/mount.h>

using namespace kestrune;
using namespace kestrune::test;

namespace {

QString resultOf(const QString& report) {
    const QString body = CliTest::readText(report);
    const qsizetype at = body.indexOf(QStringLiteral("<result status=\""));
    return at < 0 ? QString() : body.mid(at + 16).section(u'"', 0, 0);
}

QByteArray bytesOf(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

class CliShred : public CliTest {
protected:
    // Refused: the exit code says so, the reason names the disk, and nothing is written.
    void expectRefused(const CliResult& result, const QString& reason,
                       const QStringList& untouched) {
        EXPECT_EQ(result.exitCode, 3) << result.errors.toStdString();
        EXPECT_TRUE(result.errors.contains(reason))
            << "wanted: " << reason.toStdString() << "\ngot: " << result.errors.toStdString();
        EXPECT_TRUE(result.errors.contains(text("cli_nothing_erased")));
        EXPECT_EQ(result.output, QString());
        for (const QString& image : untouched)
            EXPECT_TRUE(holdsSecret(image)) << image.toStdString();
        EXPECT_TRUE(reports().isEmpty());
    }
};

} // namespace

TEST_F(CliShred, EveryDiskIsErasedAndLeavesTheWindowsReport) {
    const QString alpha = makeImage(QStringLiteral("alpha.img"), 8 << 20);
    const QString beta = makeImage(QStringLiteral("beta.img"), 16 << 20);
    setUser("\\Settings", "FormatDrive", 0);

    // One by its image, one by its serial number.
    const CliResult result =
        run({QStringLiteral("shred"), QStringLiteral("--yes"), QStringLiteral("--algorithm"),
             QStringLiteral("101"), alpha, QStringLiteral("beta")});
    ASSERT_EQ(result.exitCode, 0) << result.output.toStdString() << result.errors.toStdString();
    EXPECT_FALSE(holdsSecret(alpha));
    EXPECT_FALSE(holdsSecret(beta));

    const QStringList written = reports();
    ASSERT_EQ(written.size(), 2);
    QStringList serials;
    for (const QString& report : written) {
        const QString body = readText(report);
        EXPECT_EQ(resultOf(report), "200") << body.toStdString();
        EXPECT_TRUE(
            body.contains(QStringLiteral("methodn=\"101\" iscleaned=\"1\" isformatted=\"0\"")))
            << body.toStdString();
        EXPECT_EQ(runProgram(QStringLiteral("xmllint"), {QStringLiteral("--noout"), report}), 0);
        serials << body.section(QStringLiteral("<item name=\"serial\" source=\"hw\">"), 1)
                       .section(u'<', 0, 0);
        // The output names each report beside its disk.
        const QString label = serials.back() + QStringLiteral(".img");
        EXPECT_TRUE(result.output.contains(filled("cli_report_of", {label, report})))
            << result.output.toStdString();
        // And its certificate beside it.
        const QString certificate = certificatePathFor(report);
        EXPECT_TRUE(QFile::exists(certificate));
        EXPECT_TRUE(result.output.contains(filled("cli_certificate_of", {label, certificate})))
            << result.output.toStdString();
    }
    serials.sort();
    EXPECT_EQ(serials, (QStringList{QStringLiteral("alpha"), QStringLiteral("beta")}));

    // Plain lines on an output that is no terminal: a heading, then lines as the rows change.
    EXPECT_FALSE(result.output.contains(u'\x1b')) << result.output.toStdString();
    EXPECT_TRUE(result.output.startsWith(text("cli_column_disk"))) << result.output.toStdString();
    for (const QString& label : {QStringLiteral("alpha.img"), QStringLiteral("beta.img")})
        EXPECT_TRUE(result.output.contains(
            QRegularExpression(QStringLiteral("\\n%1 +100 %.*%2\\n")
                                   .arg(QRegularExpression::escape(label),
                                        QRegularExpression::escape(text("status_shredded"))))))
            << result.output.toStdString();
    // What is erased is said before, with the method's name.
    EXPECT_TRUE(result.errors.contains(filled("cli_erase_summary", {text("shred_algo_short_101")})))
        << result.errors.toStdString();
}

// The report fits the folder, its certificate does not: the disk is shredded, and the run
// ends with the code of a missing document and says which disk lacks its certificate.
TEST_F(CliShred, ACertificateThatCannotBeWrittenIsSaidAndEndsWithTheDocumentsCode) {
    QTemporaryDir small;
    if (::mount("tmpfs", QFile::encodeName(small.path()).constData(), "tmpfs", 0, "size=8k") != 0)
        GTEST_SKIP() << "cannot mount a tmpfs here (needs root)";
    struct Unmount {
        QString path;
        ~Unmount() { ::umount2(QFile::encodeName(path).constData(), MNT_DETACH); }
    } unmount{small.path()};
    writeRegistryString(platform::RegistryRoot::LocalMachine, productKey("\\Settings"),
                        QStringLiteral("LogPath"), small.path());
    const QString image = makeImage(QStringLiteral("stick.img"), 4 << 20);
    const CliResult result =
        run({QStringLiteral("shred"), QStringLiteral("--yes"), QStringLiteral("--no-format"),
             QStringLiteral("--algorithm"), QStringLiteral("100"), image});
    EXPECT_EQ(result.exitCode, 11) << result.output.toStdString() << result.errors.toStdString();
    EXPECT_FALSE(holdsSecret(image));
    EXPECT_TRUE(result.errors.contains(filled("cli_certificate_missing", {"stick.img"})))
        << result.errors.toStdString();
    EXPECT_TRUE(
        result.output.contains(filled("status_certificate_not_saved", {text("status_shredded")})))
        << result.output.toStdString();
    const QStringList left = QDir(small.path()).entryList(QDir::Files | QDir::Hidden);
    ASSERT_EQ(left.size(), 1) << left.join(u' ').toStdString();
    EXPECT_TRUE(left[0].endsWith(QLatin1String(".xml")));
    EXPECT_TRUE(result.output.contains(filled(
        "cli_report_of", {QStringLiteral("stick.img"), QDir(small.path()).filePath(left[0])})));
}

TEST_F(CliShred, TheOptionsHoldForThisRunAndNeverChangeTheSettings) {
    const QString image = makeImage(QStringLiteral("stick.img"), 16 << 20);
    setUser("\\Shredding", "ShredAlgo", 100);
    setUser("\\Settings", "FormatDrive", 0);
    const QByteArray settings = bytesOf(registry.userHive());

    CliResult result = run({QStringLiteral("shred"), QStringLiteral("-y"),
                            QStringLiteral("--algorithm=102"), QStringLiteral("--format"), image});
    ASSERT_EQ(result.exitCode, 0) << result.errors.toStdString();
    ASSERT_EQ(reports().size(), 1);
    QString body = readText(reports()[0]);
    EXPECT_TRUE(body.contains(QStringLiteral("methodn=\"102\" iscleaned=\"1\" isformatted=\"1\"")))
        << body.toStdString();
    EXPECT_EQ(resultOf(reports()[0]), "400");
    EXPECT_EQ(bytesOf(registry.userHive()), settings);

    // Without the options the settings rule, as in the window; --no-format overrules them.
    setUser("\\Shredding", "ShredAlgo", 101);
    setUser("\\Settings", "FormatDrive", 1);
    QFile::remove(reports()[0]);
    result = run({QStringLiteral("shred"), QStringLiteral("-y"), image});
    ASSERT_EQ(result.exitCode, 0) << result.errors.toStdString();
    ASSERT_EQ(reports().size(), 1);
    body = readText(reports()[0]);
    EXPECT_TRUE(body.contains(QStringLiteral("methodn=\"101\" iscleaned=\"1\" isformatted=\"1\"")))
        << body.toStdString();
    EXPECT_TRUE(result.errors.contains(text("info_format_auto")));

    QFile::remove(reports()[0]);
    result =
        run({QStringLiteral("shred"), QStringLiteral("-y"), QStringLiteral("--no-format"), image});
    ASSERT_EQ(result.exitCode, 0) << result.errors.toStdString();
    ASSERT_EQ(reports().size(), 1);
    EXPECT_EQ(resultOf(reports()[0]), "200");
    EXPECT_FALSE(result.errors.contains(text("info_format_auto")));
}

TEST_F(CliShred, ALoopBackedDiskIsShreddedAndFormattedThroughItsBlockDevice) {
    if (const QString reason = loopDevicesUnavailable(); !reason.isEmpty())
        GTEST_SKIP() << reason.toStdString();
    LoopDisk& disk = makeLoopDisk(QStringLiteral("stick.img"), 32 << 20);
    const QString image = QDir(disks.path()).filePath(QStringLiteral("stick.img"));

    const CliResult result =
        run({QStringLiteral("shred"), QStringLiteral("--yes"), QStringLiteral("--format"),
             QStringLiteral("--algorithm"), QStringLiteral("100"), disk.device()});
    ASSERT_EQ(result.exitCode, 0) << result.output.toStdString() << result.errors.toStdString();
    EXPECT_FALSE(holdsSecret(image));
    ASSERT_EQ(reports().size(), 1);
    EXPECT_EQ(resultOf(reports()[0]), "400");
    EXPECT_TRUE(result.output.contains(filled("cli_report_of", {disk.device(), reports()[0]})));

    const auto partition = firstPartition(image);
    ASSERT_TRUE(partition.has_value());
    EXPECT_EQ(partition->type, 0x0e);
    const FileSystemCheck fat = checkFileSystemAt(image, partition->start, partition->size);
    EXPECT_EQ(fat.fsck, 0);
    EXPECT_EQ(fat.label, "SHREDDED");
}

TEST_F(CliShred, AnUnknownDiskRefusesTheWholeRun) {
    const QString known = makeImage(QStringLiteral("known.img"), 8 << 20);
    const CliResult result = run({QStringLiteral("shred"), QStringLiteral("--yes"), known,
                                  QStringLiteral("no-such-stick"), QStringLiteral("/dev/nowhere")});
    expectRefused(result, filled("cli_refused_not_found", {QStringLiteral("no-such-stick")}),
                  {known});
    EXPECT_TRUE(
        result.errors.contains(filled("cli_refused_not_found", {QStringLiteral("/dev/nowhere")})));
}

TEST_F(CliShred, WhatTheWindowWouldNotOfferIsRefusedWithItsReason) {
    const QString known = makeImage(QStringLiteral("known.img"), 8 << 20);
    makeImage(QStringLiteral("reader.img"), 0);
    QTemporaryDir elsewhere;
    const QString outside = QDir(elsewhere.path()).filePath(QStringLiteral("outside.img"));
    QFile(known).copy(outside);

    expectRefused(
        run({QStringLiteral("shred"), QStringLiteral("--yes"), known, QStringLiteral("reader")}),
        filled("cli_refused_no_medium", {QStringLiteral("reader")}), {known});
    expectRefused(run({QStringLiteral("shred"), QStringLiteral("--yes"), outside}),
                  filled("cli_refused_not_simulated", {outside, disks.path()}), {outside});
    expectRefused(run({QStringLiteral("shred"), QStringLiteral("--yes"), elsewhere.path()}),
                  filled("cli_refused_not_a_disk", {elsewhere.path()}), {});
    // A link planted in the folder leads to what it names, which is no disk here.
    ASSERT_TRUE(QFile::link(outside, QDir(disks.path()).filePath(QStringLiteral("link.img"))));
    const QString link = QDir(disks.path()).filePath(QStringLiteral("link.img"));
    expectRefused(run({QStringLiteral("shred"), QStringLiteral("--yes"), link}),
                  filled("cli_refused_not_simulated", {link, disks.path()}), {outside});
}

TEST_F(CliShred, LoopDevicesAreRefusedUnlessTheyAreSimulatedDisks) {
    if (const QString reason = loopDevicesUnavailable(); !reason.isEmpty())
        GTEST_SKIP() << reason.toStdString();
    QTemporaryDir elsewhere{QStringLiteral("/dev/shm/kestrune-cli-other-XXXXXX")};
    const QString backing = QDir(elsewhere.path()).filePath(QStringLiteral("other.img"));
    QFile file(backing);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly) && file.resize(8 << 20));
    file.write(kSecret);
    file.close();
    LoopDisk other(backing);
    ASSERT_TRUE(other.attached());

    expectRefused(run({QStringLiteral("shred"), QStringLiteral("--yes"), other.device()}),
                  filled("cli_refused_not_simulated", {other.device(), disks.path()}), {backing});

    // On the system's own disks a loop device is never a removable disk.
    QProcess process;
    QProcessEnvironment real = environment();
    real.remove(QStringLiteral("KESTRUNE_SIMULATED_DISKS"));
    process.setProcessEnvironment(real);
    process.start(cli(), {QStringLiteral("shred"), QStringLiteral("--yes"), other.device()});
    process.closeWriteChannel();
    ASSERT_TRUE(process.waitForFinished(60000));
    CliResult result;
    result.exitCode = process.exitCode();
    result.output = QString::fromUtf8(process.readAllStandardOutput());
    result.errors = QString::fromUtf8(process.readAllStandardError());
    expectRefused(result, filled("cli_refused_not_removable", {other.device()}), {backing});
}

TEST_F(CliShred, ADiskBeyondTheNumbersThereAreIsRefused) {
    QStringList images;
    for (int i = 0; i <= 33; ++i)
        images << makeImage(QStringLiteral("stick%1.img").arg(i, 2, 10, QLatin1Char('0')), 4096);
    const CliResult listed = run({QStringLiteral("list"), QStringLiteral("--json")});
    ASSERT_EQ(listed.exitCode, 0);
    // The disk without a number has a null one, never the placeholder behind it.
    EXPECT_FALSE(listed.output.contains(QStringLiteral("4294967295")));
    QString overflow;
    int unnumbered = 0;
    for (const QJsonValue& value : QJsonDocument::fromJson(listed.output.toUtf8())
                                       .object()[QStringLiteral("disks")]
                                       .toArray()) {
        const QJsonValue number = value.toObject()[QStringLiteral("number")];
        unnumbered += number.isNull();
        if (number.isNull())
            overflow = value.toObject()[QStringLiteral("path")].toString();
        else
            EXPECT_LT(number.toInteger(-1), 32) << listed.output.toStdString();
    }
    ASSERT_EQ(unnumbered, 2) << listed.output.toStdString();

    expectRefused(run({QStringLiteral("shred"), QStringLiteral("--yes"), overflow}),
                  filled("cli_refused_too_many", {overflow, QStringLiteral("32")}), {overflow});
}

// The asset number and the source given for a run are the medium's, on its certificate and
// in its report, with the medium's type as the scan found it and the host that erased it.
TEST_F(CliShred, TheAssetNumberGoesIntoTheReportAndOntoTheCertificate) {
    const QString image = makeImage(QStringLiteral("stick.img"), 4 << 20);
    const CliResult result = run({QStringLiteral("shred"), QStringLiteral("--yes"),
                                  QStringLiteral("--no-format"), QStringLiteral("--algorithm=100"),
                                  QStringLiteral("--asset"), QStringLiteral("INV <2026> & 7"),
                                  QStringLiteral("--source=Fleet return, batch 7"), image});
    ASSERT_EQ(result.exitCode, 0) << result.errors.toStdString();
    ASSERT_EQ(reports().size(), 1);
    const QString report = reports()[0];
    for (const QString& element :
         {QStringLiteral("<asset number=\"INV &lt;2026&gt; &amp; 7\"/>"),
          QStringLiteral("<source description=\"Fleet return, batch 7\"/>"),
          QStringLiteral("<host name=\"%1\"/>").arg(QSysInfo::machineHostName())})
        EXPECT_TRUE(readText(report).contains(element)) << readText(report).toStdString();
    // A simulated disk is listed as a stick, but no document calls it one.
    EXPECT_TRUE(readText(report).contains(QStringLiteral("<medium type=\"image file\"/>")));
    EXPECT_EQ(runProgram(QStringLiteral("xmllint"), {QStringLiteral("--noout"), report}), 0);
    if (pdfToolsMissing().isEmpty()) {
        const QString page = pdfText(certificatePathFor(report));
        EXPECT_TRUE(page.contains(QStringLiteral("INV <2026> & 7")) &&
                    page.contains(QStringLiteral("Fleet return, batch 7")) &&
                    page.contains(text("cert_destination_manufacturer")))
            << page.toStdString();
    }
}

TEST_F(CliShred, ADiskNamedTwiceIsErasedOnce) {
    const QString image = makeImage(QStringLiteral("stick.img"), 8 << 20);
    const CliResult result = run({QStringLiteral("shred"), QStringLiteral("--yes"), image,
                                  QStringLiteral("stick"), QStringLiteral("--no-format")});
    ASSERT_EQ(result.exitCode, 0) << result.errors.toStdString();
    EXPECT_EQ(reports().size(), 1);
}

TEST_F(CliShred, AWrongCommandLineDoesNothing) {
    const QString image = makeImage(QStringLiteral("stick.img"), 8 << 20);
    const QList<QStringList> wrong = {
        {QStringLiteral("shred"), QStringLiteral("--yes")},
        {QStringLiteral("shred"), QStringLiteral("--algorithm"), QStringLiteral("99"), image},
        {QStringLiteral("shred"), image, QStringLiteral("--algorithm")},
        {QStringLiteral("shred"), QStringLiteral("--json"), image},
        {QStringLiteral("shred"), QStringLiteral("--frobnicate"), image},
        {QStringLiteral("shred"), QStringLiteral("--asset=INV-8"), image, QStringLiteral("stick")},
        {QStringLiteral("list"), QStringLiteral("--yes")},
        {QStringLiteral("list"), image},
        {QStringLiteral("erase"), image},
        {},
    };
    for (const QStringList& arguments : wrong) {
        const CliResult result = run(arguments);
        SCOPED_TRACE(arguments.join(u' ').toStdString());
        EXPECT_EQ(result.exitCode, 2);
        EXPECT_TRUE(result.errors.contains(QStringLiteral("Try 'kestrune-cli --help'")))
            << result.errors.toStdString();
        EXPECT_EQ(result.output, QString());
    }
    EXPECT_TRUE(holdsSecret(image));
    EXPECT_TRUE(reports().isEmpty());

    const CliResult help = run({QStringLiteral("--help")});
    EXPECT_EQ(help.exitCode, 0);
    EXPECT_TRUE(help.output.contains(QStringLiteral("Exit status")));
}
