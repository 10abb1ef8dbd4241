#include "LanguageChoice.h"
#include "TestSupport.h"
#include "controls/CListCtrlEx.h"
#include "controls/CVSKImageButton.h"
#include "devices/CVSKListThread.h"
#include "devices/DeviceListModel.h"
#include "devices/DeviceTable.h"
#include "lang/LanguageManager.h"
#include "shred/ShredJobs.h"
#include "ui/CVSKInsertUSB.h"
#include "ui/CVSKKestruneDlg.h"
#include "window/WindowMessages.h"

#include <QHeaderView>
#include <QLabel>
#include <QTemporaryDir>
#include <QTest>
#include <gtest/gtest.h>

using namespace kestrune;
using platform::RegistryRoot;

namespace {

class MainWindowTest : public ::testing::Test {
protected:
    void SetUp() override {
        qputenv("KESTRUNE_SIMULATED_DISKS", disks.path().toLocal8Bit());
        test::registerComponentDirectory(QStringLiteral("VSKLanguage.dll"), test::binDir());
        test::messages().clear();
    }
    void TearDown() override { qunsetenv("KESTRUNE_SIMULATED_DISKS"); }

    static QStringList headings(const CVSKKestruneDlg& window) {
        QStringList result;
        for (int i = 0; i < window.deviceList()->columnCount(); ++i)
            result << window.deviceList()->horizontalHeaderItem(i)->text();
        return result;
    }
    void setUser(const char* suffix, const char* name, std::uint32_t value) {
        test::writeRegistryDword(RegistryRoot::CurrentUser, test::productKey(suffix),
                                 QString::fromLatin1(name), value);
    }
    void setMachine(const char* suffix, const char* name, std::uint32_t value) {
        test::writeRegistryDword(RegistryRoot::LocalMachine, test::productKey(suffix),
                                 QString::fromLatin1(name), value);
    }
    static QString text(const char* key) {
        return GetLanguageManager()->GetString(QString::fromLatin1(key));
    }

    test::ScopedRegistry registry;
    QTemporaryDir disks;
};

} // namespace

TEST_F(MainWindowTest, ShowsItsTextsInEnglish) {
    CVSKKestruneDlg window;
    ASSERT_TRUE(window.OnInitDialog());
    EXPECT_EQ(window.windowTitle(), QStringLiteral("Vaskor Kestrune"));
    EXPECT_EQ(window.welcomeText()->text(), text("welcome_txt"));
    EXPECT_FALSE(window.welcomeText()->text().contains(QStringLiteral("displyed")));
    const QStringList expected{
        text("column_start"),    text("column_name"),    text("column_device"),
        text("column_progress"), text("column_elapsed"), text("column_time_left"),
        text("column_speed"),    text("column_size"),    text("column_status")};
    EXPECT_EQ(headings(window), expected);
    EXPECT_EQ(headings(window)[0], QStringLiteral("Start"));
    EXPECT_EQ(window.infoText()->text(), text("shred_algo_description_100"));
    EXPECT_TRUE(window.warningText()->text().isEmpty());
    EXPECT_EQ(window.size(), QSize(972, 640));
}

TEST_F(MainWindowTest, ShowsItsTextsInGerman) {
    test::chooseLanguage(QStringLiteral("DE"));
    CVSKKestruneDlg window;
    ASSERT_TRUE(window.OnInitDialog());
    EXPECT_EQ(GetLanguageManager()->GetString(QStringLiteral("Language_codes")),
              QStringLiteral("DE"));
    EXPECT_EQ(headings(window)[8], text("column_status"));
    const int english = GetLanguageManager()->IndexOfLanguageCode(QStringLiteral("NTV"));
    ASSERT_GE(english, 0);
    EXPECT_NE(headings(window)[5], GetLanguageManager()->GetStringForLanguage(
                                       QStringLiteral("column_time_left"), english));
    EXPECT_EQ(window.welcomeText()->text(), text("welcome_txt"));
}

TEST_F(MainWindowTest, InformationAndWarningFollowTheSettings) {
    setUser("\\Shredding", "ShredAlgo", 0);
    setUser("\\Settings", "FormatDrive", 1);
    setUser("\\Settings", "StartAuto", 1);
    CVSKKestruneDlg window;
    ASSERT_TRUE(window.OnInitDialog());
    EXPECT_EQ(window.infoText()->text(), text("shred_algo_description_100") +
                                             QStringLiteral("\n\n") + text("info_format_auto"));
    EXPECT_EQ(window.warningText()->text(), text("warning_start_auto"));
    setUser("\\Shredding", "ShredAlgo", 103);
    setUser("\\Settings", "FormatDrive", 2);
    setUser("\\Settings", "StartAuto", 0);
    window.UpdateInfoTexts();
    EXPECT_EQ(window.infoText()->text(), text("shred_algo_description_103"));
    EXPECT_TRUE(window.warningText()->text().isEmpty());
}

TEST_F(MainWindowTest, HideSettingsDisablesOnlyOnExactlyOne) {
    setMachine("\\Settings", "HideSettings", 2);
    {
        CVSKKestruneDlg window;
        ASSERT_TRUE(window.OnInitDialog());
        EXPECT_TRUE(window.settingsButton()->isEnabled());
    }
    setUser("\\Settings", "HideSettings", 1); // the user's copy has no effect
    setMachine("\\Settings", "HideSettings", 1);
    CVSKKestruneDlg window;
    ASSERT_TRUE(window.OnInitDialog());
    EXPECT_FALSE(window.settingsButton()->isEnabled());
    window.show();
    QTest::mouseMove(window.settingsButton());
    EXPECT_EQ(window.middlePictureName(), QStringLiteral("bott_middle"));
}

TEST_F(MainWindowTest, HoveringAButtonChangesTheMiddlePicture) {
    CVSKKestruneDlg window;
    ASSERT_TRUE(window.OnInitDialog());
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
    QTest::mouseMove(window.aboutButton(), QPoint(5, 5));
    EXPECT_EQ(window.middlePictureName(), QStringLiteral("bott_middle_about"));
    window.OnWndMsg(MSG_ABOUT_NORMAL, 0);
    EXPECT_EQ(window.middlePictureName(), QStringLiteral("bott_middle"));
}

TEST_F(MainWindowTest, TheInsertPromptFollowsTheDeviceList) {
    CVSKKestruneDlg window;
    ASSERT_TRUE(window.OnInitDialog());
    window.show();
    ASSERT_TRUE(window.scanLauncher()->waitUntilIdle(std::chrono::seconds(10)));
    QTRY_VERIFY_WITH_TIMEOUT(window.insertPrompt()->isVisible(), 5000);
    window.OnWndMsg(UM_DEVICELIST_FILLED, 0);
    EXPECT_FALSE(window.insertPrompt()->isVisible());
    window.OnWndMsg(UM_DEVICELIST_EMPTY, 0);
    EXPECT_TRUE(window.insertPrompt()->isVisible());
    window.OnVolumeArrival();
    EXPECT_FALSE(window.insertPrompt()->isVisible());
}

TEST_F(MainWindowTest, StartClicksOutsideTheNumberRangeAreIgnored) {
    CVSKKestruneDlg window;
    ASSERT_TRUE(window.OnInitDialog());
    window.OnWndMsg(MSG_ROW_COMMAND, 1124 + 32);
    window.OnWndMsg(MSG_ROW_COMMAND, 1000);
    window.OnWndMsg(MSG_ROW_COMMAND, 1124 + 3); // no such record
    EXPECT_EQ(window.jobs().runningCount(), 0);
}

TEST_F(MainWindowTest, AReaderWithoutACardIsNeverStarted) {
    CVSKKestruneDlg window;
    ASSERT_TRUE(window.OnInitDialog());
    ASSERT_TRUE(window.scanLauncher()->waitUntilIdle(std::chrono::seconds(10)));
    window.table()->insertSorted(5);
    auto reader = window.table()->findByDeviceNumber(5);
    reader->hasMedium = false;
    window.listModel()->insertRow(0, reader);
    window.OnWndMsg(MSG_ROW_COMMAND, 1124 + 5);
    EXPECT_EQ(window.jobs().runningCount(), 0);
    EXPECT_EQ(reader->state(), JobState::Idle);
    EXPECT_EQ(window.listModel()->cellText(0, DeviceListModel::StatusColumn),
              text("status_failed_media"));
}

TEST_F(MainWindowTest, EnterAndEscapeEndTheWindow) {
    for (Qt::Key key : {Qt::Key_Return, Qt::Key_Escape}) {
        CVSKKestruneDlg window;
        ASSERT_TRUE(window.OnInitDialog());
        window.show();
        QTest::keyClick(&window, key);
        EXPECT_FALSE(window.isVisible()) << key;
    }
}

TEST_F(MainWindowTest, WithoutLanguagesTheWindowEndsAtOnce) {
    QTemporaryDir empty;
    test::registerComponentDirectory(QStringLiteral("VSKLanguage.dll"), empty.path());
    CVSKKestruneDlg window;
    EXPECT_EQ(window.DoModal(), QDialog::Accepted);
    EXPECT_TRUE(window.endRequested());
    ASSERT_EQ(test::messages().texts().size(), 1u);
    EXPECT_EQ(test::messages().texts()[0],
              QStringLiteral("Could not locate necessary dll 'VSKLanguage.dll'"));
}
