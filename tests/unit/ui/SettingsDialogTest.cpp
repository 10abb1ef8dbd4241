#include "SettingsFixture.h"

#include "LanguageChoice.h"
#include "controls/CPictureEx.h"
#include "ui/CVSKSettingsDlg.h"
#include "ui/TemplateDialog.h"

#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>

using namespace kestrune;
using namespace kestrune::test;
using platform::RegistryRoot;

namespace {

class SettingsDialogTest : public SettingsFixture {
protected:
    // An administrator named where updates come from; without that the schedule is not
    // offered (see WithoutAFeed...).
    void SetUp() override {
        SettingsFixture::SetUp();
        setFeed(QStringLiteral("https://updates.example.org/kestrune/feed.txt"));
    }
    std::unique_ptr<CVSKSettingsDlg> open() {
        auto dialog = std::make_unique<CVSKSettingsDlg>(nullptr);
        dialog->show();
        EXPECT_TRUE(QTest::qWaitForWindowExposed(dialog.get()));
        return dialog;
    }
    static void click(QWidget* control) {
        ASSERT_TRUE(control->isVisible() && control->isEnabled())
            << control->objectName().toStdString();
        // Check boxes and radios react only on their box and label, at the left.
        const bool pushButton = qobject_cast<QPushButton*>(control) != nullptr;
        QTest::mouseClick(control, Qt::LeftButton, {},
                          pushButton ? QPoint() : QPoint(6, control->height() / 2));
    }
    static void choose(QComboBox* list, int index) {
        list->setFocus();
        while (list->currentIndex() < index)
            QTest::keyClick(list, Qt::Key_Down);
        while (list->currentIndex() > index)
            QTest::keyClick(list, Qt::Key_Up);
    }
    static std::optional<std::uint32_t> stored(const QString& key, const char* name) {
        return userDword(key, QString::fromLatin1(name));
    }
    QString string(const char* key) const {
        return GetLanguageManager()->GetString(QString::fromLatin1(key));
    }
    QByteArray userHive() const {
        QFile file(registry_.userHive());
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }
};

TEST_F(SettingsDialogTest, EmptyRegistryShowsDefaultsAndLanguageTexts) {
    auto dialog = open();
    EXPECT_EQ(dialog->algorithmList()->count(), 4);
    EXPECT_EQ(dialog->algorithmList()->itemText(3), string("shred_algo_short_103"));
    EXPECT_EQ(dialog->algorithmList()->currentIndex(), 0);
    EXPECT_EQ(dialog->algorithmDescription()->text(), string("shred_algo_description_100"));
    EXPECT_FALSE(dialog->algorithmDescription()->text().isEmpty());
    EXPECT_EQ(dialog->okButton()->text(), string("OK-button"));
    EXPECT_EQ(dialog->updateGroup()->title(), string("automatic_updates"));
    EXPECT_EQ(dialog->findChild<QGroupBox*>(QStringLiteral("informationGroup"))->title(),
              QStringLiteral("Information"));
    EXPECT_FALSE(dialog->formatCheck()->isChecked());
    EXPECT_FALSE(dialog->startAutoCheck()->isVisible());
    EXPECT_TRUE(dialog->activateCheck()->isChecked());
    EXPECT_TRUE(dialog->weeklyRadio()->isChecked());
    EXPECT_TRUE(dialog->dailyRadio()->isEnabled());
    EXPECT_FALSE(dialog->greyPicture()->isVisible());
    EXPECT_TRUE(dialog->topPicture()->isLoaded());
    ASSERT_EQ(dialog->languageList()->count(), 2);
    EXPECT_EQ(dialog->languageList()->itemText(0), QStringLiteral("English"));
    EXPECT_EQ(dialog->languageList()->itemText(1), QStringLiteral("Deutsch"));
    EXPECT_EQ(dialog->languageList()->currentIndex(), 0);
    EXPECT_FALSE(dialog->windowFlags() & Qt::WindowTitleHint);
    EXPECT_TRUE(boxesBesidesVersion().empty());
}

TEST_F(SettingsDialogTest, StoredAlgorithmSelectsItsIndexAndUnknownOnesTheFirst) {
    const std::pair<std::uint32_t, int> cases[] = {{0, 0},   {99, 0},  {100, 0},       {102, 2},
                                                   {103, 3}, {104, 0}, {0xFFFFFFFF, 0}};
    for (const auto& [value, index] : cases) {
        putDword(RegistryRoot::CurrentUser, kShreddingKey, QStringLiteral("ShredAlgo"), value);
        auto dialog = open();
        EXPECT_EQ(dialog->algorithmList()->currentIndex(), index) << value;
        EXPECT_EQ(dialog->algorithmDescription()->text(),
                  string(QStringLiteral("shred_algo_description_10%1").arg(index).toLatin1()))
            << value;
        click(dialog->okButton());
        EXPECT_EQ(dialog->result(), QDialog::Accepted);
        EXPECT_EQ(stored(kShreddingKey, "ShredAlgo"), 100u + std::uint32_t(index)) << value;
    }
}

TEST_F(SettingsDialogTest, ChoosingAnAlgorithmShowsItsDescriptionAndOkStoresIt) {
    auto dialog = open();
    choose(dialog->algorithmList(), 2);
    EXPECT_EQ(dialog->algorithmDescription()->text(), string("shred_algo_description_102"));
    click(dialog->formatCheck());
    click(dialog->okButton());
    EXPECT_EQ(stored(kShreddingKey, "ShredAlgo"), 102u);
    EXPECT_EQ(stored(kSettingsKey, "FormatDrive"), 1u);
    EXPECT_EQ(stored(kSettingsKey, "StartAuto"), 0u);
    EXPECT_EQ(stored(kUpdateKey, "NotActivate"), 0u);
    EXPECT_EQ(stored(kUpdateKey, "DayCheck"), 2u);
    EXPECT_EQ(GetSettingsStore()->GetShredAlgo(), 102u);
}

TEST_F(SettingsDialogTest, ActivatingUpdatesEnablesRadiosAndPicksWeekly) {
    putDword(RegistryRoot::CurrentUser, kUpdateKey, QStringLiteral("NotActivate"), 1);
    putDword(RegistryRoot::CurrentUser, kUpdateKey, QStringLiteral("DayCheck"), 3);
    auto dialog = open();
    EXPECT_FALSE(dialog->activateCheck()->isChecked());
    for (QRadioButton* radio :
         {dialog->dailyRadio(), dialog->weeklyRadio(), dialog->monthlyRadio()}) {
        EXPECT_FALSE(radio->isChecked());
        EXPECT_FALSE(radio->isEnabled());
    }
    click(dialog->activateCheck());
    EXPECT_TRUE(dialog->monthlyRadio()->isEnabled());
    EXPECT_TRUE(dialog->weeklyRadio()->isChecked());
    click(dialog->okButton());
    EXPECT_EQ(stored(kUpdateKey, "NotActivate"), 0u);
    EXPECT_EQ(stored(kUpdateKey, "DayCheck"), 2u);
}

TEST_F(SettingsDialogTest, DeactivatingKeepsTheChosenRadioAndStoresIt) {
    putDword(RegistryRoot::CurrentUser, kUpdateKey, QStringLiteral("DayCheck"), 1);
    auto dialog = open();
    EXPECT_TRUE(dialog->dailyRadio()->isChecked());
    click(dialog->monthlyRadio());
    click(dialog->activateCheck());
    EXPECT_FALSE(dialog->monthlyRadio()->isEnabled());
    EXPECT_TRUE(dialog->monthlyRadio()->isChecked());
    // Activating again restores the stored schedule.
    click(dialog->activateCheck());
    EXPECT_TRUE(dialog->dailyRadio()->isChecked());
    click(dialog->monthlyRadio());
    click(dialog->activateCheck());
    click(dialog->okButton());
    EXPECT_EQ(stored(kUpdateKey, "NotActivate"), 1u);
    EXPECT_EQ(stored(kUpdateKey, "DayCheck"), 3u);
}

TEST_F(SettingsDialogTest, UnknownScheduleChecksNoRadio) {
    putDword(RegistryRoot::CurrentUser, kUpdateKey, QStringLiteral("DayCheck"), 5);
    auto dialog = open();
    EXPECT_TRUE(dialog->activateCheck()->isChecked());
    for (QRadioButton* radio :
         {dialog->dailyRadio(), dialog->weeklyRadio(), dialog->monthlyRadio()})
        EXPECT_FALSE(radio->isChecked());
}

TEST_F(SettingsDialogTest, HiddenOrMissingUpdateFunctionShowsTheGreyPicture) {
    for (bool hide : {true, false}) {
        if (hide) {
            putDword(RegistryRoot::LocalMachine, kUpdateKey, QStringLiteral("HideUpdate"), 1);
        } else {
            putDword(RegistryRoot::LocalMachine, kUpdateKey, QStringLiteral("HideUpdate"), 0);
            unregisterUpdateComponent();
        }
        ReleaseUpdateManager();
        auto dialog = open();
        for (QWidget* control : {static_cast<QWidget*>(dialog->updateGroup()),
                                 static_cast<QWidget*>(dialog->updateText()),
                                 static_cast<QWidget*>(dialog->activateCheck()),
                                 static_cast<QWidget*>(dialog->dailyRadio()),
                                 static_cast<QWidget*>(dialog->weeklyRadio()),
                                 static_cast<QWidget*>(dialog->monthlyRadio())})
            EXPECT_FALSE(control->isVisible()) << control->objectName().toStdString();
        EXPECT_TRUE(dialog->greyPicture()->isVisible());
        EXPECT_TRUE(dialog->greyPicture()->isLoaded());
        click(dialog->okButton());
        EXPECT_EQ(stored(kUpdateKey, "NotActivate"), 1u);
        EXPECT_EQ(stored(kUpdateKey, "DayCheck"), 0u);
    }
}

TEST_F(SettingsDialogTest, WithoutAFeedUpdatesAreShownUnavailableAndTheScheduleIsKept) {
    setFeed(QString());
    putDword(RegistryRoot::CurrentUser, kUpdateKey, QStringLiteral("DayCheck"), 3);
    ReleaseUpdateManager();
    auto dialog = open();
    EXPECT_TRUE(dialog->updateGroup()->isVisible());
    EXPECT_EQ(dialog->updateText()->text(), string("update_not_configured"));
    EXPECT_LE(dialog->updateText()->heightForWidth(dialog->updateText()->width()),
              dialog->updateText()->height());
    for (QWidget* control :
         {static_cast<QWidget*>(dialog->activateCheck()),
          static_cast<QWidget*>(dialog->dailyRadio()), static_cast<QWidget*>(dialog->weeklyRadio()),
          static_cast<QWidget*>(dialog->monthlyRadio())})
        EXPECT_FALSE(control->isVisible()) << control->objectName().toStdString();
    click(dialog->okButton());
    EXPECT_EQ(stored(kUpdateKey, "DayCheck"), 3u);
    EXPECT_FALSE(stored(kUpdateKey, "NotActivate").has_value());
}

TEST_F(SettingsDialogTest, StartAutoSurvivesOkAlthoughItsBoxIsHidden) {
    for (const auto& [value, expected] :
         {std::pair{1u, 1u}, std::pair{2u, 0u}, std::pair{0u, 0u}}) {
        putDword(RegistryRoot::CurrentUser, kSettingsKey, QStringLiteral("StartAuto"), value);
        auto dialog = open();
        EXPECT_EQ(dialog->startAutoCheck()->isChecked(), value == 1);
        click(dialog->okButton());
        EXPECT_EQ(stored(kSettingsKey, "StartAuto"), expected) << value;
    }
}

TEST_F(SettingsDialogTest, CancelAndEscapeWriteNothing) {
    putDword(RegistryRoot::CurrentUser, kSettingsKey, QStringLiteral("FormatDrive"), 0);
    const QByteArray before = userHive();
    for (bool escape : {false, true}) {
        auto dialog = open();
        choose(dialog->algorithmList(), 3);
        click(dialog->formatCheck());
        click(dialog->activateCheck());
        choose(dialog->languageList(), 1);
        if (escape)
            QTest::keyClick(dialog.get(), Qt::Key_Escape);
        else
            click(dialog->cancelButton());
        EXPECT_EQ(dialog->result(), QDialog::Rejected);
        EXPECT_FALSE(dialog->isVisible());
        EXPECT_EQ(userHive(), before);
    }
    EXPECT_TRUE(boxesBesidesVersion().empty());
    QFile choice(QDir(registry_.path()).filePath(QStringLiteral("language")));
    ASSERT_TRUE(choice.open(QIODevice::ReadOnly));
    EXPECT_EQ(choice.readAll().trimmed(), QByteArray("NTV"));
}

TEST_F(SettingsDialogTest, LanguageChangeIsStoredAndAnnouncedOnce) {
    {
        auto dialog = open();
        click(dialog->okButton());
        EXPECT_TRUE(boxesBesidesVersion().empty()) << "the current language needs no notice";
    }
    auto dialog = open();
    choose(dialog->languageList(), 1);
    click(dialog->okButton());
    const auto boxes = boxesBesidesVersion();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].text, string("settings_language_restart"));
    EXPECT_EQ(boxes[0].caption, GetSettingsStore()->GetProductName());
    EXPECT_EQ(boxes[0].style, unsigned(platform::MB_ICONINFORMATION_STYLE));
    EXPECT_EQ(boxes[0].owner, dialog.get());
    QFile choice(QDir(registry_.path()).filePath(QStringLiteral("language")));
    ASSERT_TRUE(choice.open(QIODevice::ReadOnly));
    EXPECT_EQ(choice.readAll().trimmed(), QByteArray("DE"));
    // The running program keeps its language until the next start.
    EXPECT_EQ(dialog->okButton()->text(), QStringLiteral("OK"));
}

TEST_F(SettingsDialogTest, OkOnADamagedHiveSaysSoNamesTheFileAndKeepsIt) {
    const QByteArray damaged = "not a hive\n\"StartAuto\"=dword:00000001\n";
    {
        QFile file(registry_.userHive());
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(damaged);
    }
    auto dialog = open();
    click(dialog->formatCheck());
    click(dialog->okButton());
    EXPECT_EQ(dialog->result(), QDialog::Accepted);
    const auto boxes = boxesBesidesVersion();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].text,
              string("settings_not_saved").replace(QStringLiteral("%s"), registry_.userHive()));
    EXPECT_TRUE(boxes[0].text.contains(registry_.userHive()));
    EXPECT_EQ(boxes[0].style, unsigned(platform::MB_ICONERROR_STYLE));
    EXPECT_EQ(boxes[0].owner, dialog.get());
    EXPECT_EQ(userHive(), damaged);

    // Once the file is readable again, OK stores quietly.
    QFile::remove(registry_.userHive());
    messages().clear();
    auto again = open();
    click(again->okButton());
    EXPECT_TRUE(boxesBesidesVersion().empty());
    EXPECT_EQ(stored(kSettingsKey, "FormatDrive"), 0u);
}

TEST_F(SettingsDialogTest, NotSavedTextExistsInBothLanguages) {
    const auto language = GetLanguageManager();
    ASSERT_EQ(language->GetLanguageCount(), 2);
    for (int index = 0; index < 2; ++index) {
        const QString text =
            language->GetStringForLanguage(QStringLiteral("settings_not_saved"), index);
        EXPECT_EQ(text.count(QStringLiteral("%s")), 1) << index;
    }
    EXPECT_NE(language->GetStringForLanguage(QStringLiteral("settings_not_saved"), 0),
              language->GetStringForLanguage(QStringLiteral("settings_not_saved"), 1));
}

} // namespace

// Every control inside a group keeps the same distance from the frame on both sides, and
// the first line stays clear of the frame's top line, which carries the title.
TEST_F(SettingsDialogTest, ControlsSitEvenlyInsideTheirGroups) {
    auto dialog = open();
    dialog->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(dialog.get()));
    struct Group {
        const char* box;
        std::vector<const char*> controls; // the first one is the top line
    };
    const Group groups[] = {
        {"algorithmGroup", {"chooseAlgorithmText", "algorithmList", "informationGroup"}},
        {"informationGroup", {"algorithmDescription"}},
        {"advancedGroup", {"formatCheck"}},
        {"updateGroup", {"updateText", "activateCheck"}},
        {"languageGroup", {"chooseLanguageText", "languageList"}},
    };
    for (const Group& group : groups) {
        const QRect box = dialog->findChild<QGroupBox*>(QString::fromLatin1(group.box))->geometry();
        const int frameTop = box.top() + dialog->fontMetrics().height() / 2;
        for (const char* name : group.controls) {
            const QRect area = dialog->findChild<QWidget*>(QString::fromLatin1(name))->geometry();
            EXPECT_TRUE(box.contains(area)) << name;
            EXPECT_GE(area.left() - box.left(), 12) << name;
            EXPECT_EQ(area.left() - box.left(), box.right() - area.right()) << name;
        }
        const QRect first =
            dialog->findChild<QWidget*>(QString::fromLatin1(group.controls[0]))->geometry();
        EXPECT_GE(first.top() - frameTop, 8) << group.box << ": the first line touches the frame";
    }
    // The buttons sit on the bottom band's middle line.
    const QRect band = dialog->findChild<QWidget*>(QStringLiteral("bottomPicture"))->geometry();
    for (QPushButton* button : {dialog->okButton(), dialog->cancelButton()})
        EXPECT_LE(std::abs(button->geometry().center().y() - (band.top() + kBandMiddle)), 1);
}
