// The certificate drawn from plain facts, without a disk: what it says of a job that
// succeeded and of every kind that did not, in both languages, on one page, and how its
// file is written.
#include "shred/ErasureCertificate.h"
#include "DamagedObjects.h"
#include "LanguageChoice.h"
#include "PdfText.h"
#include "TestSupport.h"
#include "lang/LanguageManager.h"
#include "lang/TextPlaceholders.h"
#include "shred/ShredStatusDisplay.h"
#include "shredengine/ShredJob.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <kestrune/shred_abi.h>

using namespace kestrune;

namespace {

const QString kHash =
    QStringLiteral("9f86d081884c7d659a2feaa0c55ad015a3bf4f1b2b0b822cd15d6c15b0f00a08");

CertificateFacts shreddedJob() {
    CertificateFacts facts;
    facts.provenance.toolName = QStringLiteral("Vaskor Kestrune");
    facts.provenance.toolVersion = QStringLiteral("1.0.0.1");
    facts.provenance.mediumType = platform::MediumType::UsbFlashDrive;
    facts.provenance.operatorLogin = QStringLiteral("jdoe");
    facts.provenance.operatorName = QStringLiteral("Jane Doe");
    facts.provenance.organisation = QStringLiteral("Example Ltd");
    facts.provenance.location = QStringLiteral("Building 3");
    facts.provenance.asset = QStringLiteral("INV-20417");
    facts.vendor = QStringLiteral("Acme");
    facts.product = QStringLiteral("Flash Disk");
    facts.serial = QStringLiteral("4C530001230515109142");
    facts.bus = QStringLiteral("USB");
    facts.claimedBytes = 16008609792;
    facts.usableBytes = 16008609792;
    facts.algorithm = 102;
    facts.passesPlanned = 3;
    facts.passesDone = 3;
    facts.verification = ReportVerification::Passed;
    facts.startTime = 1'780'000'000;
    facts.finishTime = 1'780'000'000 + 3 * 3600 + 25 * 60 + 7;
    facts.finalStatus = JobStatus::Formatted;
    facts.formatted = true;
    facts.label = QStringLiteral("SHREDDED");
    facts.reportId = QStringLiteral("0b6f3c2e-5a1d-4f7e-9c1b-2d3e4f5a6b7c");
    facts.reportFile = QStringLiteral("2026-05-28-2006.xml");
    facts.reportSha256 = kHash;
    return facts;
}

class ErasureCertificateTest : public ::testing::Test {
protected:
    void SetUp() override {
        KESTRUNE_SKIP_WITHOUT_PDF_TOOLS();
        test::registerComponentDirectory(QStringLiteral("VSKLanguage.dll"), test::binDir());
        useLanguage(QStringLiteral("NTV"));
    }
    void useLanguage(const QString& code) {
        test::chooseLanguage(code);
        language = std::make_shared<LanguageManager>();
        ASSERT_TRUE(language->HasLanguages()) << "language components not built";
    }
    QString text(const char* key) const { return language->GetString(QString::fromLatin1(key)); }
    // The page's text as pdftotext reads it from the written file.
    QString render(const CertificateFacts& facts) {
        QString failure;
        const QByteArray pdf = renderErasureCertificate(facts, *language, &failure);
        EXPECT_FALSE(pdf.isEmpty()) << failure.toStdString();
        const QString path = dir.filePath(QStringLiteral("c%1.pdf").arg(++rendered));
        EXPECT_EQ(writeCertificateFile(path, pdf, CertificateFileMode::NewFile), QString());
        EXPECT_EQ(test::pdfPages(path), 1);
        return test::pdfText(path);
    }

    test::ScopedRegistry registry;
    QTemporaryDir dir;
    std::shared_ptr<LanguageManager> language;
    int rendered = 0;
};

} // namespace

TEST_F(ErasureCertificateTest, ASucceededJobIsCertifiedWithEveryFactOfIt) {
    const CertificateFacts facts = shreddedJob();
    EXPECT_EQ(certificateVerdict(facts), CertificateVerdict::Certified);
    const QString page = render(facts);
    ASSERT_FALSE(page.isEmpty());
    for (const QString& expected :
         {text("cert_title_certified"), text("cert_summary_certified").left(40),
          QStringLiteral("Vaskor Kestrune 1.0.0.1"), facts.vendor, facts.product, facts.serial,
          facts.bus, QStringLiteral("14.91 GiB (16,008,609,792 bytes)"),
          text("shred_algo_short_102"),
          FillPlaceholders(text("cert_passes_value"), {QStringLiteral("3"), QStringLiteral("3")}),
          text("cert_verification_passed"), QStringLiteral("03:25:07"), text("status_shredded"),
          FillPlaceholders(text("cert_formatted_labelled"), {QStringLiteral("SHREDDED")}),
          facts.reportId, facts.reportFile, kHash, text("cert_signature_operator"),
          text("cert_signature_witness"), text("cert_signature_date"),
          // In the terms of the standards, with the technique and what it wrote.
          text("cert_section_sanitization"),
          QStringLiteral("NIST SP 800-88 Rev. 2, IEEE 2883-2022"), QStringLiteral("Clear"),
          text("cert_technique_overwrite"), text("cert_patterns_102"),
          FillPlaceholders(text("cert_verification_method_value"),
                           {text("cert_verification_passed")}),
          text("cert_medium_usb_flash_drive"),
          // Who, where, and what becomes of the medium.
          QStringLiteral("Jane Doe (jdoe)"), QStringLiteral("Example Ltd"),
          QStringLiteral("Building 3"), QStringLiteral("INV-20417"),
          text("cert_destination_reuse_inside"), text("cert_destination_reuse_outside"),
          text("cert_destination_recycling"), text("cert_destination_destruction")})
        EXPECT_TRUE(page.contains(expected)) << expected.toStdString() << "\n"
                                             << page.toStdString();
    EXPECT_TRUE(page.simplified().contains(text("cert_flash_note").left(60))) << page.toStdString();
    EXPECT_FALSE(page.contains(text("cert_title_not_completed")));
    // Operator, witness and verifier each sign and date by hand.
    EXPECT_EQ(page.count(text("cert_signature_date")), 3);
    EXPECT_TRUE(page.simplified().contains(text("cert_signature_verifier").left(11)));
}

// Flash keeps blocks no software reaches: no certificate, in either language and whatever
// its verdict, claims that nothing of the former content is left, and only a job that
// reached its verified end names the method Clear.
TEST_F(ErasureCertificateTest, NoPageClaimsMoreThanClear) {
    for (const QString& code : {QStringLiteral("NTV"), QStringLiteral("DE")}) {
        SCOPED_TRACE(code.toStdString());
        useLanguage(code);
        CertificateFacts facts = shreddedJob();
        const QString certified = render(facts).simplified();
        facts.finalStatus = JobStatus::FailedFormat;
        const QString erased = render(facts).simplified();
        facts.finalStatus = JobStatus::Aborted;
        const QString aborted = render(facts).simplified();
        for (const QString* page : {&certified, &erased, &aborted}) {
            for (const char* claim : {"holds nothing", "former content", "nichts mehr"})
                EXPECT_FALSE(page->contains(QString::fromLatin1(claim))) << claim;
            EXPECT_TRUE(page->contains(text("cert_flash_note").left(60)));
        }
        const QString clear = text("cert_sanitization_method") + QStringLiteral(" Clear");
        EXPECT_TRUE(certified.contains(clear)) << certified.toStdString();
        EXPECT_TRUE(erased.contains(clear)) << "erased and verified; only the format failed";
        EXPECT_FALSE(aborted.contains(clear)) << aborted.toStdString();
        EXPECT_TRUE(aborted.contains(text("cert_sanitization_method") + u' ' +
                                     text("cert_method_not_reached")))
            << aborted.toStdString();
    }
}

// How far the read-back got: all of it, a difference, an interruption, or nothing; and
// each medium type by its name.
TEST_F(ErasureCertificateTest, TheVerificationAndTheMediumAreNamedAsTheyWere) {
    CertificateFacts facts = shreddedJob();
    facts.finalStatus = JobStatus::Aborted;
    facts.verification = ReportVerification::Interrupted;
    facts.mismatchOffset = 1048576;
    facts.provenance.mediumType = platform::MediumType::MemoryCard;
    facts.provenance.operatorName.clear();
    facts.provenance.organisation.clear();
    facts.provenance.asset.clear();
    EXPECT_EQ(certificateVerdict(facts), CertificateVerdict::NotCompleted);
    QString page = render(facts);
    EXPECT_TRUE(page.contains(FillPlaceholders(
        text("cert_verification_method_value"),
        {FillPlaceholders(text("cert_verification_interrupted"), {QStringLiteral("1048576")})})))
        << page.toStdString();
    EXPECT_FALSE(page.contains(FillPlaceholders(text("cert_verification_method_value"),
                                                {text("cert_verification_not_reached")})));
    EXPECT_TRUE(page.contains(text("cert_medium_memory_card")));
    // Without a full name the login stands alone; what is not known is left blank.
    EXPECT_TRUE(page.contains(QStringLiteral("jdoe")));
    EXPECT_FALSE(page.contains(QStringLiteral("(jdoe)")));
    EXPECT_FALSE(page.contains(QStringLiteral("INV-")));

    facts.provenance.mediumType = platform::MediumType::Disk;
    useLanguage(QStringLiteral("DE"));
    page = render(facts);
    EXPECT_TRUE(page.contains(QStringLiteral("unterbrochen bei Byte 1048576")))
        << page.toStdString();
    EXPECT_TRUE(page.contains(QStringLiteral("Laufwerk")));
}

TEST_F(ErasureCertificateTest, EveryJobThatDidNotSucceedSaysSoAndNeverReadsAsSuccess) {
    struct Case {
        const char* name;
        std::function<void(CertificateFacts&)> change;
        CertificateVerdict verdict;
        QString mustSay;
    };
    const std::vector<Case> cases = {
        {"aborted",
         [](CertificateFacts& f) {
             f.finalStatus = JobStatus::Aborted;
             f.passesDone = 1;
             f.verification = ReportVerification::NotReached;
             f.formatted = false;
         },
         CertificateVerdict::NotCompleted,
         FillPlaceholders(text("cert_passes_value"), {QStringLiteral("1"), QStringLiteral("3")})},
        {"verification failed",
         [](CertificateFacts& f) {
             f.finalStatus = JobStatus::FailedVerify;
             f.verification = ReportVerification::Failed;
             f.mismatchOffset = 1048577;
             f.formatted = false;
         },
         CertificateVerdict::NotCompleted,
         FillPlaceholders(text("cert_verification_failed"), {QStringLiteral("1048577")})},
        {"write error",
         [](CertificateFacts& f) {
             f.finalStatus = JobStatus::FailedWrite;
             f.passesDone = 0;
             f.verification = ReportVerification::NotReached;
             f.formatted = false;
         },
         CertificateVerdict::NotCompleted, text("cert_verification_not_reached")},
        {"counterfeit",
         [](CertificateFacts& f) {
             f.finalStatus = JobStatus::FailedCounterfeit;
             f.usableBytes = 8000000000;
             f.formatted = false;
         },
         CertificateVerdict::NotCompleted, QStringLiteral("7.45 GiB (8,000,000,000 bytes)")},
        // A status of success that the other facts contradict is still no success.
        {"passes missing", [](CertificateFacts& f) { f.passesDone.reset(); },
         CertificateVerdict::NotCompleted, text("cert_not_determined")},
        {"not verified",
         [](CertificateFacts& f) { f.verification = ReportVerification::NotReached; },
         CertificateVerdict::NotCompleted, text("cert_verification_not_reached")},
        {"format failed",
         [](CertificateFacts& f) {
             f.finalStatus = JobStatus::FailedFormat;
             f.formatted = false;
         },
         CertificateVerdict::NotCertified, text("cert_formatted_no")},
        {"report not on disk", [](CertificateFacts& f) { f.reportSha256.clear(); },
         CertificateVerdict::NotCertified, text("cert_not_determined")},
    };
    for (const Case& job : cases) {
        SCOPED_TRACE(job.name);
        CertificateFacts facts = shreddedJob();
        job.change(facts);
        EXPECT_EQ(certificateVerdict(facts), job.verdict);
        const QString page = render(facts);
        ASSERT_FALSE(page.isEmpty());
        const QString title =
            text(job.verdict == CertificateVerdict::NotCompleted ? "cert_title_not_completed"
                                                                 : "cert_title_not_certified");
        EXPECT_TRUE(page.contains(title)) << page.toStdString();
        EXPECT_FALSE(page.contains(text("cert_title_certified"))) << page.toStdString();
        EXPECT_FALSE(page.contains(text("cert_summary_certified").left(40)) &&
                     job.verdict == CertificateVerdict::NotCompleted);
        // The row's own words for the status, in the headline's explanation too.
        const QString status =
            JobStatusText(language.get(), facts.finalStatus,
                          static_cast<std::int64_t>(facts.usableBytes.value_or(0)));
        EXPECT_TRUE(page.contains(status)) << status.toStdString();
        // Erased and verified, then failed: the page says both, never that nothing was erased.
        const char* summary = job.verdict == CertificateVerdict::NotCompleted
                                  ? "cert_summary_failed"
                                  : "cert_summary_erased_then_failed";
        EXPECT_TRUE(page.simplified().contains(FillPlaceholders(text(summary), {status}).left(60)))
            << page.toStdString();
        EXPECT_TRUE(page.contains(job.mustSay)) << job.mustSay.toStdString();
    }
}

TEST_F(ErasureCertificateTest, TheGermanCertificateIsAllGerman) {
    useLanguage(QStringLiteral("DE"));
    CertificateFacts facts = shreddedJob();
    facts.usableBytes.reset();
    const QString page = render(facts);
    for (const char* expected : {"Löschzertifikat",
                                 "Hersteller",
                                 "Seriennummer",
                                 "Angegebene Kapazität",
                                 "nicht ermittelt",
                                 "Drei Durchgänge",
                                 "3 von 3",
                                 "bestanden",
                                 "Endstatus",
                                 "Gelöscht",
                                 "mit der Bezeichnung SHREDDED",
                                 "SHA-256 des Berichts",
                                 "Durchgeführt von",
                                 "Bezeugt von",
                                 "Datum",
                                 "14,91 GiB (16.008.609.792 Byte)",
                                 "Bereinigung",
                                 "Methode",
                                 "Überschreiben",
                                 "USB-Stick",
                                 "Nullen (0x00), Einsen (0xFF), Zufallsdaten",
                                 "vollständiges Zurücklesen jedes Blocks: bestanden",
                                 "Werkzeug",
                                 "Bediener",
                                 "Inventarnummer",
                                 "Standort",
                                 "Verbleib",
                                 "Vernichtung",
                                 "Auf Flash-Speicher"})
        EXPECT_TRUE(page.contains(QString::fromUtf8(expected))) << expected << "\n"
                                                                << page.toStdString();
    for (const char* english :
         {"Serial number", "Vendor", "Passes", "Shredded", "Signatures", "not determined",
          "certificate", "Sanitization", "overwrite", "Operator", "Asset", "random", "flash drive"})
        EXPECT_FALSE(page.contains(QString::fromLatin1(english))) << english;

    facts.finalStatus = JobStatus::Aborted;
    const QString aborted = render(facts);
    EXPECT_TRUE(aborted.contains(QStringLiteral("Löschung NICHT abgeschlossen")));
    EXPECT_TRUE(aborted.contains(QStringLiteral("Abgebrochen")));
    EXPECT_FALSE(aborted.contains(QStringLiteral("Löschzertifikat")));
}

// Texts a device reports can be long; the tables shrink rather than run into the
// signatures, and the page stays one page.
TEST_F(ErasureCertificateTest, LongTextsStayAboveTheSignaturesOnOnePage) {
    CertificateFacts facts = shreddedJob();
    facts.vendor = QString(12, u' ').replace(u' ', QStringLiteral("Manufacturer "));
    facts.product = QString(14, u' ').replace(u' ', QStringLiteral("Product line "));
    facts.finalStatus = JobStatus::FailedCounterfeit;
    facts.usableBytes = 123456789;
    const QString page = render(facts);
    const qsizetype hash = page.indexOf(kHash);
    const qsizetype signatures = page.indexOf(text("cert_section_signatures"));
    ASSERT_GE(hash, 0) << page.toStdString();
    ASSERT_GE(signatures, 0);
    EXPECT_LT(hash, signatures);
    EXPECT_LT(page.indexOf(text("cert_section_medium")),
              page.indexOf(QStringLiteral("Product line")));
}

TEST_F(ErasureCertificateTest, AFileIsWrittenWholeOrNotAtAllAndReplacesOnlyWhenAsked) {
    const QByteArray pdf = renderErasureCertificate(shreddedJob(), *language);
    ASSERT_FALSE(pdf.isEmpty());
    const QString path = dir.filePath(QStringLiteral("report.pdf"));
    ASSERT_TRUE(test::writeWholeFile(path, "an older file"));
    EXPECT_FALSE(writeCertificateFile(path, pdf, CertificateFileMode::NewFile).isEmpty());
    EXPECT_EQ(test::readWholeFile(path), QByteArray("an older file"));
    EXPECT_EQ(writeCertificateFile(path, pdf, CertificateFileMode::ReplaceExisting), QString());
    EXPECT_EQ(test::readWholeFile(path), pdf);

    const QString missing = dir.filePath(QStringLiteral("gone/report.pdf"));
    for (CertificateFileMode mode :
         {CertificateFileMode::NewFile, CertificateFileMode::ReplaceExisting})
        EXPECT_FALSE(writeCertificateFile(missing, pdf, mode).isEmpty());
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden),
              QStringList{QStringLiteral("report.pdf")});
}

TEST_F(ErasureCertificateTest, ItsNameAndTheReportsHashComeFromTheReportFile) {
    EXPECT_EQ(certificatePathFor(QStringLiteral("/logs/2026-05-28-2006(2).xml")),
              QStringLiteral("/logs/2026-05-28-2006(2).pdf"));
    EXPECT_EQ(certificatePathFor(QStringLiteral("/logs/chosen")),
              QStringLiteral("/logs/chosen.pdf"));
    const QString report = dir.filePath(QStringLiteral("r.xml"));
    ASSERT_TRUE(test::writeWholeFile(report, "test"));
    EXPECT_EQ(sha256OfFile(report), kHash);
    EXPECT_EQ(sha256OfFile(dir.filePath(QStringLiteral("none.xml"))), QString());
    for (std::int32_t algorithm : {0, 99, 104})
        EXPECT_EQ(plannedPasses(algorithm), 0);
}

// The certificate's count of each algorithm's passes is the engine's.
TEST(ErasureCertificatePasses, ThePlannedPassesAreThoseTheEngineRuns) {
    using namespace kestrune::engine;
    for (int32_t algorithm :
         {ALGORITHM_ZERO, ALGORITHM_RANDOM, ALGORITHM_THREE_PASS, ALGORITHM_GUTMANN}) {
        std::vector<Pass> plan;
        ASSERT_TRUE(passPlan(algorithm, plan));
        EXPECT_EQ(plannedPasses(algorithm), static_cast<int>(plan.size())) << algorithm;
    }
}
