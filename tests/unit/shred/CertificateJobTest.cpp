// The certificate a job leaves beside its report, through the worker with the stand-in
// engine: what it says is what the report on disk says, for jobs that succeeded, failed,
// were aborted or met a counterfeit stick; the setting that turns it off; and a certificate
// that cannot be written.
#include "JobTurns.h"
#include "LanguageChoice.h"
#include "PdfText.h"
#include "TestSupport.h"
#include "app/SettingsStore.h"
#include "devices/DeviceRecord.h"
#include "lang/LanguageManager.h"
#include "lang/TextPlaceholders.h"
#include "platform/AccountName.h"
#include "shred/CVSKRMShredThread.h"
#include "shred/ErasureCertificate.h"
#include "shred/InterruptedJobs.h"
#include "shred/ShredReport.h"
#include "shred/ShredStatusDisplay.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>
#include <gtest/gtest.h>
#include <mutex>
#include <sys/mount.h>
#include <thread>
#include <vector>

using namespace kestrune;
using platform::RegistryRoot;

namespace {

std::mutex certificateStatusMutex;
std::vector<int> certificateStatuses;

void recordCertificateStatus(const test::Turn& turn) {
    std::lock_guard guard(certificateStatusMutex);
    certificateStatuses.push_back(turn.status);
}

QString readFile(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

// The hash of the file's bytes, computed here independently of the program.
QString hashOf(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return QString::fromLatin1(
        QCryptographicHash::hash(file.readAll(), QCryptographicHash::Sha256).toHex());
}

class CertificateJobTest : public ::testing::Test {
protected:
    void SetUp() override {
        KESTRUNE_SKIP_WITHOUT_PDF_TOOLS();
        {
            std::lock_guard guard(certificateStatusMutex);
            certificateStatuses.clear();
        }
        test::registerComponentDirectory(QStringLiteral("VSKLanguage.dll"), test::binDir());
        test::registerComponentDirectory(QStringLiteral("VSKRemovableShredder.dll"),
                                         QStringLiteral(KESTRUNE_TEST_ENGINES "/fake"));
        GetSettingsStore()->GetFormatDrive();
        test::messages().clear();
        useLogFolder(logs.path());
        setUser("FormatDrive", 0);
        record->deviceNumber = 4;
        record->serialText = QStringLiteral("AA0123-SN");
        record->vendorText = QStringLiteral("Acme");
        record->productText = QStringLiteral("Stick");
        record->sizeGigabytesText = QStringLiteral("0.06");
        record->busText = QStringLiteral("USB");
        record->sizeBytes = 64 << 20;
        record->setState(JobState::Running);
        for (const char* name :
             {"KESTRUNE_FAKE_ENGINE_RESULT", "KESTRUNE_FAKE_ENGINE_USABLE",
              "KESTRUNE_FAKE_ENGINE_MISMATCH", "KESTRUNE_FAKE_ENGINE_SILENT_MS",
              "KESTRUNE_FAKE_ENGINE_PASSES", "KESTRUNE_FAKE_ENGINE_VERIFIED_UNTIL",
              "KESTRUNE_FAKE_ENGINE_RECORD_IN"})
            qunsetenv(name);
    }
    void TearDown() override {
        ShredReport::setSaveFileAsker({});
        if (!mounted.isEmpty())
            ::umount2(QFile::encodeName(mounted).constData(), MNT_DETACH);
        ReleaseLanguageManager();
    }
    void useLogFolder(const QString& folder) {
        test::writeRegistryString(RegistryRoot::LocalMachine, test::productKey("\\Settings"),
                                  QStringLiteral("LogPath"), folder);
    }
    void setUser(const char* name, std::uint32_t value) {
        test::writeRegistryDword(RegistryRoot::CurrentUser, test::productKey("\\Settings"),
                                 QString::fromLatin1(name), value);
    }
    std::shared_ptr<CVSKRMShredThread> makeJob(bool labelWritten = true) {
        auto job = std::make_shared<CVSKRMShredThread>(record, algorithm);
        job->addObserver(std::make_shared<test::TurnObserver>(&recordCertificateStatus));
        job->setFormatter([labelWritten](const FormatJob& format) {
            if (format.labelled)
                *format.labelled = labelWritten;
            return FormatResult::Formatted;
        });
        return job;
    }
    std::shared_ptr<CVSKRMShredThread> run(bool labelWritten = true) {
        auto job = makeJob(labelWritten);
        job->Run();
        return job;
    }
    static QString text(const char* key) {
        return GetLanguageManager()->GetString(QString::fromLatin1(key));
    }
    std::vector<int> statusesNow() const {
        std::lock_guard guard(certificateStatusMutex);
        return certificateStatuses;
    }
    // The job's report and certificate: the certificate beside the report, named like it,
    // stating the report's identifier and the hash of the report as it lies on disk.
    QString certificateOf(CVSKRMShredThread& job) {
        const QStringList files = job.writtenFiles();
        EXPECT_EQ(files.size(), 2) << files.join(u' ').toStdString();
        if (files.size() != 2)
            return {};
        const QString& report = files[0];
        const QString& certificate = files[1];
        EXPECT_TRUE(report.endsWith(QLatin1String(".xml")));
        EXPECT_EQ(certificate, certificatePathFor(report));
        EXPECT_EQ(job.certificatePath(), certificate);
        EXPECT_FALSE(job.certificateMissing());
        const QString page = test::pdfText(certificate);
        EXPECT_EQ(test::pdfPages(certificate), 1);
        const QString xml = readFile(report);
        const QString id =
            QRegularExpression(QStringLiteral("<report id=\"([^\"]+)\"")).match(xml).captured(1);
        EXPECT_FALSE(id.isEmpty()) << xml.toStdString();
        for (const QString& fact :
             {id, QFileInfo(report).fileName(), hashOf(report), record->serialText,
              record->vendorText, record->productText, record->busText})
            EXPECT_TRUE(page.contains(fact)) << fact.toStdString() << "\n" << page.toStdString();
        return page;
    }
    // What a job that did not succeed must say, and must not.
    void expectNotCompleted(const QString& page, const QString& status) {
        EXPECT_TRUE(page.contains(text("cert_title_not_completed"))) << page.toStdString();
        EXPECT_FALSE(page.contains(text("cert_title_certified"))) << page.toStdString();
        EXPECT_FALSE(page.contains(text("cert_summary_certified").left(40)));
        EXPECT_TRUE(page.contains(status)) << status.toStdString() << "\n" << page.toStdString();
    }
    QString passes(int done, int planned) {
        return FillPlaceholders(text("cert_passes_value"),
                                {QString::number(done), QString::number(planned)});
    }

    test::ScopedRegistry registry;
    QTemporaryDir logs;
    QTemporaryDir mountPoint;
    QString mounted;
    std::int32_t algorithm = 101;
    std::shared_ptr<DeviceRecord> record = std::make_shared<DeviceRecord>();
};

} // namespace

TEST_F(CertificateJobTest, AShreddedAndFormattedJobIsCertifiedAsItsReportSays) {
    setUser("FormatDrive", 1);
    auto job = run();
    ASSERT_EQ(job->finalStatus(), JobStatus::Formatted);
    const QString page = certificateOf(*job);
    for (const QString& expected :
         {text("cert_title_certified"), text("status_shredded"), text("shred_algo_short_101"),
          passes(1, 1), text("cert_verification_passed"),
          FillPlaceholders(text("cert_formatted_labelled"), {QStringLiteral("SHREDDED")}),
          QStringLiteral("64.00 MiB (67,108,864 bytes)"), text("product_name")})
        EXPECT_TRUE(page.contains(expected)) << expected.toStdString() << "\n"
                                             << page.toStdString();
    // A test program carries no version record: the page says so rather than guess.
    EXPECT_TRUE(page.contains(text("product_name") + u' ' + text("cert_not_determined")));
    EXPECT_EQ(statusesNow().back(), SHRED_STATUS_FORMATTED);
    EXPECT_TRUE(test::messages().boxes().empty());
}

TEST_F(CertificateJobTest, AFormatThatWroteNoLabelIsNotCalledLabelled) {
    setUser("FormatDrive", 1);
    auto job = run(false);
    const QString page = certificateOf(*job);
    EXPECT_TRUE(page.contains(text("cert_formatted_unlabelled"))) << page.toStdString();
    EXPECT_FALSE(page.contains(QStringLiteral("SHREDDED")));
}

TEST_F(CertificateJobTest, AFailedVerificationAndAWriteErrorAreNeverCertified) {
    qputenv("KESTRUNE_FAKE_ENGINE_RESULT", "-8");
    qputenv("KESTRUNE_FAKE_ENGINE_MISMATCH", "4096");
    qputenv("KESTRUNE_FAKE_ENGINE_PASSES", "1");
    auto verify = run();
    ASSERT_EQ(verify->finalStatus(), JobStatus::FailedVerify);
    const QString mismatch = certificateOf(*verify);
    expectNotCompleted(mismatch, text("status_failed_verify"));
    EXPECT_TRUE(mismatch.contains(
        FillPlaceholders(text("cert_verification_failed"), {QStringLiteral("4096")})));
    EXPECT_TRUE(mismatch.contains(passes(1, 1)));

    qputenv("KESTRUNE_FAKE_ENGINE_RESULT", "-5");
    qunsetenv("KESTRUNE_FAKE_ENGINE_MISMATCH");
    qunsetenv("KESTRUNE_FAKE_ENGINE_PASSES");
    algorithm = 102;
    auto write = run();
    ASSERT_EQ(write->finalStatus(), JobStatus::FailedWrite);
    const QString page = certificateOf(*write);
    expectNotCompleted(page, text("status_failed_write_error"));
    EXPECT_TRUE(page.contains(passes(0, 3))) << page.toStdString();
}

TEST_F(CertificateJobTest, ACounterfeitStickIsNotCertifiedAndItsRealSizeIsStated) {
    qputenv("KESTRUNE_FAKE_ENGINE_RESULT", "-14");
    qputenv("KESTRUNE_FAKE_ENGINE_USABLE", "8000000");
    auto job = run();
    ASSERT_EQ(job->finalStatus(), JobStatus::FailedCounterfeit);
    const QString page = certificateOf(*job);
    expectNotCompleted(
        page, JobStatusText(GetLanguageManager().get(), JobStatus::FailedCounterfeit, 8000000));
    EXPECT_TRUE(page.contains(QStringLiteral("7.63 MiB (8,000,000 bytes)")));
    EXPECT_TRUE(page.contains(QStringLiteral("64.00 MiB (67,108,864 bytes)")));
}

TEST_F(CertificateJobTest, AnAbortedJobSaysSoWhetherItEndsOrIsGivenUpOn) {
    record->abort.raise();
    auto aborted = run();
    const QString page = certificateOf(*aborted);
    expectNotCompleted(page, text("status_aborted"));
    EXPECT_TRUE(page.contains(text("cert_verification_not_reached")));
    EXPECT_TRUE(page.contains(passes(0, 1))) << page.toStdString();

    // A job still inside a silent engine when the program must end: its documents are
    // written now, as aborted, and the job writes no second pair when it does end.
    record->abort.lower();
    qputenv("KESTRUNE_FAKE_ENGINE_SILENT_MS", "1500");
    const QDir folder(logs.path());
    const int before = static_cast<int>(folder.entryList({QStringLiteral("*.pdf")}).size());
    auto stuck = makeJob();
    std::thread worker([stuck] { stuck->Run(); });
    ASSERT_TRUE(QTest::qWaitFor([&] { return statusesNow().size() >= 3; }, 5000));
    stuck->abandon();
    const QString given = certificateOf(*stuck);
    expectNotCompleted(given, text("status_aborted"));
    EXPECT_TRUE(given.contains(FillPlaceholders(
        text("cert_passes_value"), {text("cert_not_determined"), QStringLiteral("1")})))
        << given.toStdString();
    // How far it got: the engine had said half of all, which is the one pass.
    EXPECT_TRUE(given.simplified().contains(
        FillPlaceholders(text("cert_progress_pass_done"), {QStringLiteral("1")}) +
        QStringLiteral("; ") + text("cert_progress_readback_none")))
        << given.toStdString();
    worker.join();
    EXPECT_EQ(stuck->writtenFiles().size(), 2);
    EXPECT_EQ(folder.entryList({QStringLiteral("*.pdf")}).size(), before + 1);
}

// Who erased which kind of medium, where, with which asset number: the same on the page and
// in the report, from the machine's settings, the job's account and the job's start.
TEST_F(CertificateJobTest, ThePageAndTheReportNameTheOperatorThePlaceAndTheAsset) {
    test::writeRegistryString(RegistryRoot::LocalMachine, test::productKey("\\Settings"),
                              QStringLiteral("Organisation"), QStringLiteral("Smith & Sons"));
    test::writeRegistryString(RegistryRoot::LocalMachine, test::productKey("\\Settings"),
                              QStringLiteral("Location"), QStringLiteral("Hall\t4 "));
    // The user's own hive names no organisation.
    test::writeRegistryString(RegistryRoot::CurrentUser, test::productKey("\\Settings"),
                              QStringLiteral("Organisation"), QStringLiteral("Forged Ltd"));
    record->mediumType = platform::MediumType::MemoryCard;
    auto job = makeJob();
    job->setAssetNumber(QStringLiteral("INV-77"));
    job->Run();
    const QString page = certificateOf(*job);
    const platform::AccountName account = platform::JobAccount();
    for (const QString& expected :
         {QStringLiteral("Smith & Sons"), QStringLiteral("Hall 4"), QStringLiteral("INV-77"),
          text("cert_medium_memory_card"), account.login, QStringLiteral("Clear")})
        EXPECT_TRUE(page.contains(expected)) << expected.toStdString() << "\n"
                                             << page.toStdString();
    EXPECT_FALSE(page.contains(QStringLiteral("Forged")));
    const QString xml = readFile(job->writtenFiles().value(0));
    for (const QString& expected :
         {QStringLiteral("<organisation name=\"Smith &amp; Sons\" location=\"Hall 4\"/>"),
          QStringLiteral("<asset number=\"INV-77\"/>"),
          QStringLiteral("<medium type=\"memory card\"/>"),
          QStringLiteral("<operator login=\"%1\"").arg(account.login)})
        EXPECT_TRUE(xml.contains(expected)) << expected.toStdString() << "\n" << xml.toStdString();
}

TEST_F(CertificateJobTest, AReadBackThatStoppedSaysWhere) {
    qputenv("KESTRUNE_FAKE_ENGINE_RESULT", "-4");
    qputenv("KESTRUNE_FAKE_ENGINE_PASSES", "1");
    qputenv("KESTRUNE_FAKE_ENGINE_VERIFIED_UNTIL", "33554432");
    auto job = run();
    ASSERT_EQ(job->finalStatus(), JobStatus::FailedMedia);
    const QString page = certificateOf(*job);
    expectNotCompleted(page, text("status_failed_media"));
    EXPECT_TRUE(page.contains(
        FillPlaceholders(text("cert_verification_interrupted"), {QStringLiteral("33554432")})))
        << page.toStdString();
    EXPECT_TRUE(page.contains(text("cert_method_not_reached")));
    const QString xml = readFile(job->writtenFiles().value(0));
    EXPECT_TRUE(xml.contains(QStringLiteral(
        "<readback method=\"full read-back\" result=\"interrupted\" offset=\"33554432\"/>")))
        << xml.toStdString();
    EXPECT_TRUE(xml.contains(QStringLiteral("<verification result=\"not reached\"/>")));
}

TEST_F(CertificateJobTest, NoCertificatesOneTurnsThemOffAndAnythingElseLeavesThemOn) {
    setUser("NoCertificates", 1);
    auto off = run();
    EXPECT_EQ(off->writtenFiles().size(), 1);
    EXPECT_FALSE(off->certificateMissing());
    EXPECT_TRUE(off->certificatePath().isEmpty());
    EXPECT_TRUE(QDir(logs.path()).entryList({QStringLiteral("*.pdf")}).isEmpty());
    EXPECT_EQ(statusesNow().back(), SHRED_STATUS_SHREDDED);

    for (std::uint32_t value : {0u, 2u}) {
        setUser("NoCertificates", value);
        auto on = run();
        EXPECT_EQ(on->writtenFiles().size(), 2) << value;
    }
}

TEST_F(CertificateJobTest, TheCertificateIsInTheProgramsLanguage) {
    test::chooseLanguage(QStringLiteral("DE"));
    auto job = run();
    const QString page = certificateOf(*job);
    for (const char* expected :
         {"Löschzertifikat", "Seriennummer", "Gelöscht", "Zufallsdaten (1 Durchgang)", "1 von 1",
          "Prüfung", "bestanden", "Durchgeführt von", "Bezeugt von"})
        EXPECT_TRUE(page.contains(QString::fromUtf8(expected))) << expected << "\n"
                                                                << page.toStdString();
    EXPECT_FALSE(page.contains(QStringLiteral("Serial number")));
}

// A folder with room for the report but not for its certificate: the disk stays shredded,
// the row adds that the certificate is missing, and no partial file is left.
TEST_F(CertificateJobTest, ACertificateThatCannotBeWrittenLeavesNoFileAndIsSaid) {
    QTemporaryDir& small = mountPoint; // unmounted in TearDown, then removed
    if (::mount("tmpfs", QFile::encodeName(small.path()).constData(), "tmpfs", 0, "size=8k") != 0)
        GTEST_SKIP() << "cannot mount a tmpfs here (needs root)";
    mounted = small.path();
    useLogFolder(small.path());
    auto job = run();
    EXPECT_EQ(job->finalStatus(), JobStatus::Shredded);
    EXPECT_EQ(statusesNow().back(), test::kCertificateNotSaved);
    EXPECT_EQ(statusesNow()[statusesNow().size() - 2], SHRED_STATUS_SHREDDED);
    EXPECT_TRUE(job->certificateMissing());
    EXPECT_TRUE(job->certificatePath().isEmpty());
    const QStringList files = job->writtenFiles();
    ASSERT_EQ(files.size(), 1);
    EXPECT_EQ(QDir(small.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden),
              QStringList{QFileInfo(files[0]).fileName()});
}

// A report saved where the user chose: over an older report its certificate replaces the
// older certificate too; beside a file of the certificate's name that belongs to no report
// it overwrites nothing and is said to be missing.
TEST_F(CertificateJobTest, AtANameTheUserChoseOnlyAnOlderPairIsReplaced) {
    QFile blocker(logs.filePath(QStringLiteral("not-a-folder")));
    ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    useLogFolder(blocker.fileName() + QStringLiteral("/logs"));
    QTemporaryDir chosenFolder;
    QString chosen;
    ShredReport::setSaveFileAsker([&](const QString&) { return chosen; });
    auto writeFile = [](const QString& path, const char* content) {
        QFile file(path);
        return file.open(QIODevice::WriteOnly) && file.write(content) > 0;
    };

    chosen = chosenFolder.filePath(QStringLiteral("older.xml"));
    ASSERT_TRUE(writeFile(chosen, "an older report"));
    ASSERT_TRUE(writeFile(certificatePathFor(chosen), "its certificate"));
    auto replacing = run();
    EXPECT_EQ(replacing->writtenFiles(), (QStringList{chosen, certificatePathFor(chosen)}));
    EXPECT_TRUE(test::pdfText(certificatePathFor(chosen)).contains(hashOf(chosen)));

    chosen = chosenFolder.filePath(QStringLiteral("fresh.xml"));
    const QString unrelated = certificatePathFor(chosen);
    ASSERT_TRUE(writeFile(unrelated, "someone else's file"));
    auto beside = run();
    EXPECT_EQ(beside->writtenFiles(), QStringList{chosen});
    EXPECT_TRUE(beside->certificateMissing());
    EXPECT_EQ(readFile(unrelated), QStringLiteral("someone else's file"));
    EXPECT_EQ(statusesNow().back(), test::kCertificateNotSaved);
}

// The engine finds the job's record on disk, running, before it writes anything; the report
// then takes its place.
TEST_F(CertificateJobTest, TheRecordIsOnDiskBeforeTheEngineWrites) {
    qputenv("KESTRUNE_FAKE_ENGINE_RECORD_IN", QFile::encodeName(logs.path()));
    auto job = run();
    EXPECT_EQ(job->finalStatus(), JobStatus::Shredded);
    const QStringList files = job->writtenFiles();
    ASSERT_FALSE(files.isEmpty());
    EXPECT_TRUE(readFile(files.front()).contains(QStringLiteral("<progress state=\"ended\"")));
    EXPECT_EQ(QDir(logs.path()).entryList({QStringLiteral("*.xml")}).size(), 1);
}

// A record that a living job holds is left alone; once its program is gone (the claim's lock
// goes with it), the next start completes it as interrupted with the progress it last said,
// and only once.
TEST_F(CertificateJobTest, ARecordNoProgramHoldsIsCompletedOnceAsInterrupted) {
    auto running = std::make_unique<ShredReport>(102, GetLanguageManager());
    running->addHardwareItems(record->serialText, record->vendorText, record->productText,
                              record->sizeGigabytesText, record->busText);
    running->setOutcome(JobStatus::None, 64 << 20);
    ASSERT_EQ(running->openRecord(), QString());
    // Into the second of three passes: one pass and 16 MiB of the next written.
    const std::uint64_t pass = 64 << 20;
    running->setProgress(JobRecordProgress::fromBytes(3, pass + (16 << 20), 3 * pass - (16 << 20)));
    ASSERT_EQ(running->updateRecord(), QString());
    const QStringList reports = QDir(logs.path()).entryList({QStringLiteral("*.xml")});
    ASSERT_EQ(reports.size(), 1);
    const QString path = QDir(logs.path()).filePath(reports.front());
    EXPECT_TRUE(readFile(path).contains(QStringLiteral("<progress state=\"running\"")));
    EXPECT_TRUE(CompleteInterruptedJobs(GetSettingsStore(), GetLanguageManager()).empty());

    running.reset(); // as its process ends, however it ends
    const std::vector<CompletedRecord> completed =
        CompleteInterruptedJobs(GetSettingsStore(), GetLanguageManager());
    ASSERT_EQ(completed.size(), 1u);
    EXPECT_EQ(completed.front().report, path);
    EXPECT_EQ(completed.front().certificate, certificatePathFor(path));
    const QString xml = readFile(path);
    for (const QString& fact :
         {QStringLiteral("<result status=\"-17\""), QStringLiteral("passesdone=\"1\""),
          QStringLiteral("<progress state=\"interrupted\" phase=\"pass\""),
          QStringLiteral("<pass number=\"1\" written=\"67108864\" of=\"67108864\"/>\n"
                         "<pass number=\"2\" written=\"16777216\" of=\"67108864\"/>\n"
                         "<pass number=\"3\" written=\"0\" of=\"67108864\"/>\n"
                         "<readback checked=\"0\" of=\"67108864\"/>"),
          QStringLiteral("<item name=\"serial\" source=\"hw\">AA0123-SN</item>")})
        EXPECT_TRUE(xml.contains(fact)) << fact.toStdString() << "\n" << xml.toStdString();
    const QString page = test::pdfText(completed.front().certificate).simplified();
    expectNotCompleted(page, text("status_interrupted").left(11));
    EXPECT_TRUE(page.contains(text("cert_capacity_not_measured").left(12))) << page.toStdString();
    EXPECT_TRUE(page.contains(FillPlaceholders(
        text("cert_progress_pass_partly"),
        {QStringLiteral("2"), QStringLiteral("16.00 MiB"), QStringLiteral("64.00 MiB")})))
        << page.toStdString();
    EXPECT_TRUE(CompleteInterruptedJobs(GetSettingsStore(), GetLanguageManager()).empty());
}
