#include "DamagedObjects.h"
#include "LanguageManagerFixture.h"

#include "lang/LanguageManager.h"

#include <ctime>

namespace kestrune::test {
namespace {

TEST_F(LanguageManagerTest, ShippedLanguagesSwitchOnlyAtNextSelection) {
    folder_.installShipped();
    LanguageManager manager;
    EXPECT_TRUE(messages().boxes().empty());
    ASSERT_TRUE(manager.HasLanguages());
    EXPECT_EQ(manager.GetLanguageCount(), 2);
    EXPECT_EQ(manager.GetStringForLanguage(QStringLiteral("Language"), 0), "English");
    EXPECT_EQ(manager.GetStringForLanguage(QStringLiteral("Language"), 1), "Deutsch");
    EXPECT_EQ(manager.currentIndex(), 0);

    EXPECT_TRUE(manager.SetLanguage(1));
    EXPECT_EQ(manager.GetString(QStringLiteral("Language")), "English");
    QFile stored(QDir(folder_.registryPath()).filePath(QStringLiteral("language")));
    ASSERT_TRUE(stored.open(QIODevice::ReadOnly));
    EXPECT_EQ(stored.readAll(), "DE\n");
    EXPECT_EQ(manager.SelectCurrentLanguage(), 1);
    EXPECT_EQ(manager.GetString(QStringLiteral("Language")), "Deutsch");

    // An unknown key comes back as itself, without a box.
    EXPECT_EQ(manager.GetString(QStringLiteral("no_such_key")), "no_such_key");
    EXPECT_TRUE(messages().boxes().empty());
}

TEST_F(LanguageManagerTest, ShippedFilesAnswerEveryKeyInBothLanguages) {
    folder_.installShipped();
    LanguageManager manager;
    ASSERT_EQ(manager.GetLanguageCount(), 2);
    QStringList keys = {"company_ntv",
                        "product_name",
                        "Language",
                        "Language_codes",
                        "dateformat",
                        "all_files",
                        "N/A",
                        "welcome_txt",
                        "question_install_update",
                        "question_abort_jobs",
                        "message_jobs_unfinished",
                        "info_format_auto",
                        "warning_start_auto",
                        "column_start",
                        "column_name",
                        "column_device",
                        "column_progress",
                        "column_elapsed",
                        "column_time_left",
                        "column_speed",
                        "column_size",
                        "column_status",
                        "status_processing",
                        "status_abort",
                        "status_aborting",
                        "status_aborted",
                        "status_start",
                        "status_shredded",
                        "status_formating",
                        "status_failed",
                        "status_failed_media",
                        "status_failed_write_error",
                        "status_failed_system_disk",
                        "status_failed_permission",
                        "status_failed_format",
                        "status_failed_verify",
                        "status_failed_busy",
                        "status_failed_not_authorized",
                        "status_failed_no_disk_service",
                        "status_failed_counterfeit",
                        "status_failed_write_protected",
                        "status_failed_held",
                        "status_no_disk_number",
                        "status_report_not_saved",
                        "OK-button",
                        "Cancel-button",
                        "shred_algo",
                        "choose_algo",
                        "advanced_options",
                        "adv_start_auto",
                        "adv_format_auto",
                        "automatic_updates",
                        "update_check",
                        "update_activate",
                        "settings_update_day",
                        "settings_update_week",
                        "settings_update_month",
                        "settings_box_language",
                        "prefered_langauge",
                        "settings_language_bad_setting",
                        "settings_language_restart",
                        "information",
                        "main_about_product_name",
                        "main_about_program_version",
                        "Close"};
    for (int algo = 100; algo <= 103; ++algo) {
        keys << QStringLiteral("shred_algo_short_%1").arg(algo)
             << QStringLiteral("shred_algo_description_%1").arg(algo);
    }
    for (int index = 0; index < 2; ++index) {
        for (const QString& key : keys) {
            const QString text = manager.GetStringForLanguage(key, index);
            // English spells two texts like their keys; German shows they are real entries.
            const bool sameAsKey = index == 0 && (key == "N/A" || key == "Close");
            EXPECT_FALSE(text.isEmpty() || (text == key && !sameAsKey))
                << key.toStdString() << " in " << index;
            if (key != "dateformat" && key != "status_failed" && key != "message_jobs_unfinished" &&
                key != "status_failed_counterfeit" && key != "status_report_not_saved" &&
                key != "status_no_disk_number") {
                EXPECT_FALSE(text.contains('%')) << key.toStdString() << " in " << index;
            }
        }
        // Used as a printf format with one integer: exactly one conversion, and it is %d.
        const QString failed = manager.GetStringForLanguage(QStringLiteral("status_failed"), index);
        EXPECT_EQ(failed.count('%'), 1);
        EXPECT_TRUE(failed.contains(QStringLiteral("%d")));
        // The usable size and the job's status each go into their text's one %s.
        for (const char* key : {"status_failed_counterfeit", "status_report_not_saved"}) {
            const QString text = manager.GetStringForLanguage(QString::fromLatin1(key), index);
            EXPECT_EQ(text.count('%'), 1) << key;
            EXPECT_TRUE(text.contains(QStringLiteral("%s"))) << key;
        }
        // The certificate's texts and the notes of a missing certificate, each with as many
        // %s as it is given values, and in German truly German.
        const std::vector<std::pair<const char*, int>> certificateTexts = {
            {"cert_title_certified", 0},
            {"cert_title_not_completed", 0},
            {"cert_title_not_certified", 0},
            {"cert_summary_certified", 0},
            {"cert_summary_failed", 1},
            {"cert_section_medium", 0},
            {"cert_vendor", 0},
            {"cert_product", 0},
            {"cert_serial", 0},
            {"cert_bus", 0},
            {"cert_capacity_claimed", 0},
            {"cert_capacity_usable", 0},
            {"cert_bytes", 2},
            {"cert_not_determined", 0},
            {"cert_section_erasure", 0},
            {"cert_method", 0},
            {"cert_passes", 0},
            {"cert_passes_value", 2},
            {"cert_verification", 0},
            {"cert_verification_passed", 0},
            {"cert_verification_failed", 1},
            {"cert_verification_not_reached", 0},
            {"cert_verification_interrupted", 1},
            {"cert_verification_method_value", 1},
            {"cert_medium_type", 0},
            {"cert_medium_usb_flash_drive", 0},
            {"cert_medium_memory_card", 0},
            {"cert_medium_disk", 0},
            {"cert_section_sanitization", 0},
            {"cert_standard", 0},
            {"cert_sanitization_method", 0},
            {"cert_method_not_reached", 0},
            {"cert_technique", 0},
            {"cert_technique_overwrite", 0},
            {"cert_patterns", 0},
            {"cert_patterns_100", 0},
            {"cert_patterns_101", 0},
            {"cert_patterns_102", 0},
            {"cert_patterns_103", 0},
            {"cert_tool", 0},
            {"cert_flash_note", 0},
            {"cert_section_accountability", 0},
            {"cert_location", 0},
            {"cert_operator", 0},
            {"cert_asset", 0},
            {"cert_destination", 0},
            {"cert_destination_reuse_inside", 0},
            {"cert_destination_reuse_outside", 0},
            {"cert_destination_recycling", 0},
            {"cert_destination_destruction", 0},
            {"cert_started", 0},
            {"cert_ended", 0},
            {"cert_duration", 0},
            {"cert_final_status", 0},
            {"cert_formatted", 0},
            {"cert_formatted_labelled", 1},
            {"cert_formatted_unlabelled", 0},
            {"cert_formatted_no", 0},
            {"cert_section_report", 0},
            {"cert_report_id", 0},
            {"cert_report_sha256", 0},
            {"cert_section_signatures", 0},
            {"cert_signature_operator", 0},
            {"cert_signature_witness", 0},
            {"cert_signature_date", 0},
            {"cert_footer", 1},
            {"status_certificate_not_saved", 1},
            {"status_certificate_unsigned", 1},
            {"cert_unsigned", 1},
            {"cli_certificate_of", 2},
            {"cli_certificate_missing", 1},
        };
        for (const auto& [key, placeholders] : certificateTexts) {
            const QString name = QString::fromLatin1(key);
            const QString text = manager.GetStringForLanguage(name, index);
            EXPECT_FALSE(text.isEmpty() || text == name) << key << " in " << index;
            EXPECT_EQ(text.count(QStringLiteral("%s")), placeholders) << key << " in " << index;
            EXPECT_EQ(text.count(u'%'), placeholders) << key << " in " << index;
            if (index == 1) {
                EXPECT_NE(text, manager.GetStringForLanguage(name, 0)) << key;
            }
        }
        // The list of disks goes into its one %s.
        const QString unfinished =
            manager.GetStringForLanguage(QStringLiteral("message_jobs_unfinished"), index);
        EXPECT_EQ(unfinished.count('%'), 1);
        EXPECT_TRUE(unfinished.contains(QStringLiteral("%s")));
        const QByteArray format =
            manager.GetStringForLanguage(QStringLiteral("dateformat"), index).toUtf8();
        char date[64] = {};
        std::tm day{};
        day.tm_year = 124;
        day.tm_mon = 2;
        day.tm_mday = 5;
        ASSERT_GT(std::strftime(date, sizeof date, format.constData(), &day), 0u);
        EXPECT_FALSE(QString::fromUtf8(date).contains('/')) << "used in file names";
    }
    EXPECT_EQ(manager.GetStringForLanguage(QStringLiteral("company_ntv"), 1), "Vaskor Security");
    EXPECT_EQ(manager.GetStringForLanguage(QStringLiteral("product_name"), 1), "Vaskor Kestrune");
    EXPECT_EQ(manager.GetStringForLanguage(QStringLiteral("Language_codes"), 0), "NTV");
    EXPECT_EQ(manager.GetStringForLanguage(QStringLiteral("Language_codes"), 1), "DE");
    EXPECT_TRUE(manager.GetStringForLanguage(QStringLiteral("shred_algo_description_100"), 0)
                    .contains('\n'));
    EXPECT_NE(manager.GetStringForLanguage(QStringLiteral("welcome_txt"), 0),
              manager.GetStringForLanguage(QStringLiteral("welcome_txt"), 1));
    EXPECT_TRUE(messages().boxes().empty());
}

TEST_F(LanguageManagerTest, MissingComponentGivesOneBoxAndEmptyTexts) {
    LanguageManager manager;
    expectOnlyBox(kMissing);
    EXPECT_FALSE(manager.HasLanguages());
    EXPECT_EQ(manager.GetLanguageCount(), 0);
    EXPECT_TRUE(manager.GetString(QStringLiteral("product_name")).isEmpty());
    EXPECT_TRUE(manager.GetStringForLanguage(QStringLiteral("Language"), 3).isEmpty());
    EXPECT_EQ(manager.SelectCurrentLanguage(), 0);
    EXPECT_FALSE(manager.SetLanguage(0));
    EXPECT_EQ(messages().boxes().size(), 1u);
    EXPECT_TRUE(manager.LoadBitmapByName(QStringLiteral("info_bkg"), -1).isNull());
    EXPECT_EQ(messages().texts().back(), kMissing);
}

TEST_F(LanguageManagerTest, EachMissingComponentEntryIsNamed) {
    for (const char* entry :
         {"GetAmountLanguages", "GetLanguages", "GetCurrentLanguage", "SetCurrentLanguage"}) {
        SCOPED_TRACE(entry);
        LanguageFolder folder;
        folder.copy(fixturePath(QStringLiteral("no_%1/VSKLanguage.dll").arg(QLatin1String(entry))),
                    QStringLiteral("VSKLanguage.dll"));
        messages().clear();
        LanguageManager manager;
        expectOnlyBox(kMissing + QStringLiteral(" (%1)").arg(QLatin1String(entry)));
        EXPECT_FALSE(manager.HasLanguages());
        EXPECT_EQ(manager.GetLanguageCount(), 0) << "component must be unloaded";
    }
}

TEST_F(LanguageManagerTest, UnusableLanguageFilesCountAsNone) {
    folder_.copy(QDir(binDir()).filePath(QStringLiteral("VSKLanguage.dll")),
                 QStringLiteral("VSKLanguage.dll"));
    folder_.copy(fixturePath(QStringLiteral("files/nostrings.dll")),
                 QStringLiteral("VSKLanguageKestrune_A.dll"));
    folder_.copy(fixturePath(QStringLiteral("files/nobitmap.dll")),
                 QStringLiteral("VSKLanguageKestrune_B.dll"));
    folder_.write(QStringLiteral("VSKLanguageKestrune_C.dll"), "not a library");
    LanguageManager manager;
    const auto boxes = messages().boxes();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].text, "No language files were found! Please reinstall your product.");
    EXPECT_EQ(boxes[0].caption, "Resource not found");
    EXPECT_EQ(boxes[0].style, unsigned(platform::MB_ICONERROR_STYLE));
    EXPECT_EQ(boxes[0].owner, nullptr);
    EXPECT_FALSE(manager.HasLanguages());
    EXPECT_TRUE(manager.GetString(QStringLiteral("Language")).isEmpty());
    EXPECT_EQ(messages().boxes().size(), 1u);

    // A usable file added later is counted by the next question.
    folder_.copy(fixturePath(QStringLiteral("files/alpha.dll")),
                 QStringLiteral("VSKLanguageKestrune_D.dll"));
    EXPECT_EQ(manager.GetLanguageCount(), 1);
}

TEST_F(LanguageManagerTest, DamagedComponentGivesTheMissingFileBox) {
    const QByteArray good =
        readWholeFile(QDir(binDir()).filePath(QStringLiteral("VSKLanguage.dll")));
    for (const DamagedObject& damaged : damagedCopiesOf(good)) {
        SCOPED_TRACE(damaged.kind);
        ASSERT_TRUE(writeWholeFile(folder_.file(QStringLiteral("VSKLanguage.dll")), damaged.bytes));
        messages().clear();
        LanguageManager manager;
        expectOnlyBox(kMissing);
        EXPECT_FALSE(manager.HasLanguages());
    }
}

TEST_F(LanguageManagerTest, DamagedLanguageFileIsNoLanguage) {
    folder_.installShipped();
    const QString german = folder_.file(QStringLiteral("VSKLanguageKestrune_DE.dll"));
    const QByteArray good = readWholeFile(german);
    for (const DamagedObject& damaged : damagedCopiesOf(good)) {
        SCOPED_TRACE(damaged.kind);
        ASSERT_TRUE(writeWholeFile(german, damaged.bytes));
        messages().clear();
        LanguageManager manager;
        EXPECT_EQ(manager.GetLanguageCount(), 1) << "English stays";
        EXPECT_EQ(manager.GetStringForLanguage(QStringLiteral("Language_codes"), 0),
                  QStringLiteral("NTV"));
    }
}

TEST_F(LanguageManagerTest, LanguageFileWithoutBitmapEntryStopsLoading) {
    listed({{"NTV", "alpha"}, {"XX", "nobitmap"}, {"DE", "beta"}}, QStringLiteral("DE"));
    LanguageManager manager;
    expectOnlyBox(kMissing + QStringLiteral(" (GetBitmapId)"));
    EXPECT_EQ(manager.currentIndex(), 0);
    EXPECT_TRUE(manager.HasLanguages());
    EXPECT_EQ(manager.GetStringForLanguage(QStringLiteral("greeting"), 0), "Hello A");
    // The failing file itself did load; its texts are there.
    EXPECT_EQ(manager.GetStringForLanguage(QStringLiteral("greeting"), 1), "Hallo B");
    messages().clear();
    EXPECT_TRUE(manager.GetStringForLanguage(QStringLiteral("greeting"), 2).isEmpty());
    expectOnlyBox(QStringLiteral("Could not locate necessary dll ") + folder_.file("lang2.dll"));
}

TEST_F(LanguageManagerTest, MissingLanguageFileIsReportedLikeAMissingEntry) {
    listed({{"NTV", ""}, {"DE", "beta"}}, QStringLiteral("NTV"));
    LanguageManager manager;
    expectOnlyBox(kMissing + QStringLiteral(" (GetBitmapId)"));
    messages().clear();
    EXPECT_TRUE(manager.GetString(QStringLiteral("greeting")).isEmpty());
    expectOnlyBox(QStringLiteral("Could not locate necessary dll ") + folder_.file("lang0.dll"));
}

TEST_F(LanguageManagerTest, FileWithoutStringEntryReportsEveryLookup) {
    listed({{"NTV", "nostrings"}}, QStringLiteral("NTV"));
    LanguageManager manager;
    EXPECT_TRUE(messages().boxes().empty());
    EXPECT_TRUE(manager.GetString(QStringLiteral("greeting")).isEmpty());
    EXPECT_TRUE(manager.GetString(QStringLiteral("Language")).isEmpty());
    const auto texts = messages().texts();
    ASSERT_EQ(texts.size(), 2u);
    EXPECT_EQ(texts[0], kMissing + QStringLiteral(" (GetStringByString)"));
    EXPECT_EQ(texts[1], texts[0]);
}

TEST_F(LanguageManagerTest, CurrentLanguageSelection) {
    struct Case {
        std::vector<std::pair<QString, QString>> rows;
        QString current;
        int expected;
    };
    const std::vector<Case> cases = {
        {{{"NTV", "alpha"}, {"DE", "beta"}, {"DE", "alpha"}}, "DE", 2}, // later match wins
        {{{"NTV", "alpha"}, {"de", "beta"}}, "DE", 1},                  // case ignored
        {{{"DE", "beta"}, {"ntv", "alpha"}}, "FR", 1},                  // fallback, any case
        {{{"DE", "beta"}, {"NTV", "alpha"}, {"NTV", "beta"}}, "", 2},   // later fallback wins
        {{{"DE", "beta"}, {"IT", "alpha"}}, "FR", 0},                   // nothing matches
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.current.toStdString() + " expecting " + std::to_string(c.expected));
        listed(c.rows, c.current);
        LanguageManager manager;
        EXPECT_EQ(manager.currentIndex(), c.expected);
        EXPECT_EQ(manager.SelectCurrentLanguage(), c.expected);
    }
    EXPECT_TRUE(messages().boxes().empty());
}

TEST_F(LanguageManagerTest, CountIsAskedAnewAndOverlongFillIsCut) {
    listed({{"NTV", "alpha"}, {"DE", "beta"}}, QStringLiteral("NTV"));
    folder_.write(QStringLiteral("overreport"), "");
    LanguageManager manager;
    EXPECT_TRUE(messages().boxes().empty());
    EXPECT_EQ(manager.GetStringForLanguage(QStringLiteral("greeting"), 1), "Hallo B");
    // Row 2 does not exist although the component claimed it: index 2 falls back to row 0.
    EXPECT_EQ(manager.GetStringForLanguage(QStringLiteral("greeting"), 2), "Hello A");
    EXPECT_EQ(manager.GetStringForLanguage(QStringLiteral("greeting"), -4), "Hello A");
    EXPECT_EQ(folder_.read(QStringLiteral("version")), "1.0.0.1");

    QByteArray list = folder_.read(QStringLiteral("languages.list"));
    folder_.write(QStringLiteral("languages.list"), list + "IT lang1.dll\n");
    EXPECT_EQ(manager.GetLanguageCount(), 3);
}

TEST_F(LanguageManagerTest, SetLanguageHandsOverTheFilesCode) {
    listed({{"NTV", "alpha"}, {"XY", "beta"}}, QStringLiteral("NTV"));
    LanguageManager manager;
    // The stored code is the file's own answer to "Language_codes", not the table's.
    EXPECT_TRUE(manager.SetLanguage(1));
    EXPECT_EQ(folder_.read(QStringLiteral("stored")), "DE");
    EXPECT_EQ(manager.currentIndex(), 0);
    folder_.write(QStringLiteral("refuse"), "");
    EXPECT_FALSE(manager.SetLanguage(0));
}

TEST_F(LanguageManagerTest, ProcessWideInstanceOutlivesItsRelease) {
    listed({{"NTV", "alpha"}}, QStringLiteral("NTV"));
    ReleaseLanguageManager();
    const auto first = GetLanguageManager();
    EXPECT_EQ(GetLanguageManager(), first);
    ReleaseLanguageManager();
    // A late holder, like a worker still running at teardown, keeps a working wrapper.
    EXPECT_EQ(first->GetString(QStringLiteral("greeting")), "Hello A");
    const auto second = GetLanguageManager();
    EXPECT_NE(second, first);
    ReleaseLanguageManager();
}

} // namespace
} // namespace kestrune::test
