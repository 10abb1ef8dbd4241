#include "LanguageChoice.h"
#include "TestSupport.h"
#include "app/SettingsStore.h"
#include "app/SystemUtil.h"
#include "controls/CPictureEx.h"
#include "lang/LanguageManager.h"
#include "platform/Registry.h"
#include "shred/ShredReport.h"
#include "ui/CVSKInfoDlg.h"
#include "ui/CVSKInsertUSB.h"
#include "ui/TemplateDialog.h"

#include <QDir>
#include <QFile>
#include <QLabel>
#include <QPushButton>
#include <QTest>
#include <gtest/gtest.h>
#include <openssl/crypto.h>

using kestrune::CVSKInfoDlg;
using kestrune::CVSKInsertUSB;

namespace {

QByteArray utf16z(const QString& text) {
    return QByteArray(reinterpret_cast<const char*>(text.utf16()), (text.size() + 1) * 2);
}

// The shipped language component and files from the build, in a fresh registry.
class LanguageDialogs : public ::testing::Test {
protected:
    void SetUp() override {
        const QDir bin(kestrune::test::binDir());
        for (const char* file :
             {"VSKLanguage.dll", "VSKLanguageKestrune_NTV.dll", "VSKLanguageKestrune_DE.dll"})
            if (!bin.exists(QLatin1String(file)))
                GTEST_SKIP() << file << " is not built yet";
        kestrune::platform::registry().write(
            kestrune::platform::RegistryRoot::LocalMachine,
            QStringLiteral("Software\\Vaskor Security\\Paths\\DLLs"),
            QStringLiteral("VSKLanguage.dll"),
            kestrune::platform::RegistryValue{kestrune::platform::REG_SZ_TYPE,
                                              utf16z(kestrune::test::binDir())});
        chooseLanguage("NTV");
        kestrune::test::messages().clear();
    }

    void TearDown() override {
        kestrune::ReleaseSettingsStore();
        kestrune::ReleaseLanguageManager();
        kestrune::ReleaseSystemUtil();
    }

    void chooseLanguage(const char* code) {
        QFile choice(QDir(registry_.path()).filePath(QStringLiteral("language")));
        ASSERT_TRUE(choice.open(QIODevice::WriteOnly));
        choice.write(QByteArray(code) + "\n");
    }

    // The test program carries no version record of its own, so asking for the program
    // version reports that; nothing else may be reported.
    static void expectOnlyVersionMessages() {
        for (const QString& text : kestrune::test::messages().texts())
            if (!text.startsWith(QStringLiteral("Error retrieving version info")))
                ADD_FAILURE() << "unexpected message: " << text.toStdString();
    }

    kestrune::test::ScopedRegistry registry_;
};

} // namespace

TEST_F(LanguageDialogs, AboutShowsTextsNameAndVersion) {
    const QString version = kestrune::GetSystemUtil()->GetProgramVersion();
    kestrune::test::messages().clear();

    QWidget main;
    CVSKInfoDlg dialog(&main);
    EXPECT_EQ(dialog.heading()->text(), QStringLiteral("Information"));
    EXPECT_EQ(dialog.productLabel()->text(), QStringLiteral("Product:"));
    EXPECT_EQ(dialog.productName()->text(), QStringLiteral("Vaskor Kestrune"));
    EXPECT_EQ(dialog.versionLabel()->text(), QStringLiteral("Version:"));
    EXPECT_EQ(dialog.versionText()->text(), version);
    EXPECT_EQ(dialog.closeButton()->text(), QStringLiteral("Close"));
    EXPECT_TRUE(dialog.heading()->font().bold());
    EXPECT_EQ(dialog.heading()->font().pixelSize(), 16);
    EXPECT_GE(dialog.heading()->height(), QFontMetrics(dialog.heading()->font()).height());

    // Template places, converted from dialog units.
    EXPECT_EQ(dialog.size(), QSize(426, 463));
    EXPECT_EQ(dialog.productName()->geometry().topLeft(), QPoint(150, 93));
    ASSERT_TRUE(dialog.topPicture()->isLoaded());
    EXPECT_EQ(dialog.topPicture()->geometry(), QRect(0, 0, 707, 48));
    ASSERT_TRUE(dialog.bottomPicture()->isLoaded());
    EXPECT_EQ(dialog.bottomPicture()->geometry(), QRect(0, 413, 707, 50));
    // Close sits on the bottom band's middle line, as far from the right edge as the
    // band's shields are from the left, clear of its dark foot.
    const QRect close = dialog.closeButton()->geometry();
    EXPECT_EQ(close.size(), QSize(75, 23));
    EXPECT_LE(std::abs(close.center().y() - (413 + kestrune::kBandMiddle)), 1);
    EXPECT_EQ(dialog.width() - (close.right() + 1), kestrune::kBandInset);
    EXPECT_LE(close.bottom(), 463 - 4 - 8);
    EXPECT_TRUE(dialog.windowFlags() & Qt::FramelessWindowHint);
    expectOnlyVersionMessages();
}

TEST_F(LanguageDialogs, AboutFollowsTheChosenLanguage) {
    chooseLanguage("DE");
    QWidget main;
    CVSKInfoDlg dialog(&main);
    EXPECT_EQ(dialog.closeButton()->text(), QString::fromUtf8("Schließen"));
    EXPECT_EQ(dialog.productLabel()->text(), QStringLiteral("Produkt:"));
}

// What the program is, on what terms, where its reports go, what it runs with (the versions
// of this process) and where its documentation is: in each language, every text whole.
TEST_F(LanguageDialogs, AboutSaysWhatTheProgramIsAndWhatItStandsOn) {
    for (const char* code : {"NTV", "DE"}) {
        chooseLanguage(code);
        kestrune::ReleaseLanguageManager();
        const auto language = kestrune::GetLanguageManager();
        QWidget main;
        CVSKInfoDlg dialog(&main);
        const auto text = [&](const char* key) {
            return language->GetString(QString::fromLatin1(key));
        };
        EXPECT_EQ(dialog.description()->text(), text("about_description")) << code;
        EXPECT_EQ(dialog.licenceText()->text(), text("about_licence")) << code;
        EXPECT_EQ(dialog.reportsText()->text(), kestrune::ShredReport::LogFolder(language.get()));
        const QString libraries = dialog.librariesText()->text();
        EXPECT_TRUE(libraries.contains(QStringLiteral("Qt ") + QString::fromLatin1(qVersion())));
        EXPECT_TRUE(
            libraries.contains(QStringLiteral("OpenSSL ") +
                               QString::fromLatin1(OpenSSL_version(OPENSSL_VERSION_STRING))))
            << libraries.toStdString();
        EXPECT_TRUE(libraries.contains(QStringLiteral("libmount ")));
        EXPECT_TRUE(dialog.documentationLink()->openExternalLinks());
        EXPECT_TRUE(dialog.documentationLink()->text().contains(
            QStringLiteral("href=\"https://example.org/kestrune\"")))
            << dialog.documentationLink()->text().toStdString();
        for (QLabel* label : dialog.findChildren<QLabel*>()) {
            if (label->text().isEmpty() || label->textFormat() == Qt::RichText)
                continue;
            const int needed = label->wordWrap() ? label->heightForWidth(label->width())
                                                 : label->sizeHint().height();
            EXPECT_LE(needed, label->height()) << code << ": " << label->text().toStdString();
            if (!label->wordWrap()) {
                EXPECT_LE(label->sizeHint().width(), label->width())
                    << code << ": " << label->text().toStdString();
            }
        }
    }
    expectOnlyVersionMessages();
}

TEST_F(LanguageDialogs, AboutClosesWithCloseOrEscape) {
    QWidget main;
    CVSKInfoDlg byEscape(&main);
    byEscape.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&byEscape));
    QTest::keyClick(&byEscape, Qt::Key_Escape);
    EXPECT_FALSE(byEscape.isVisible());
    EXPECT_EQ(byEscape.result(), QDialog::Rejected);

    CVSKInfoDlg byButton(&main);
    byButton.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&byButton));
    QTest::mouseClick(byButton.closeButton(), Qt::LeftButton);
    EXPECT_FALSE(byButton.isVisible());
    EXPECT_EQ(byButton.result(), QDialog::Accepted);

    CVSKInfoDlg byEnter(&main);
    byEnter.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&byEnter));
    QTest::keyClick(&byEnter, Qt::Key_Return);
    EXPECT_EQ(byEnter.result(), QDialog::Accepted);
}

TEST_F(LanguageDialogs, PromptIsCreatedHiddenCentredAndAnimated) {
    QWidget main;
    main.setGeometry(100, 80, 972, 640);
    CVSKInsertUSB prompt;
    prompt.Create(&main);
    EXPECT_TRUE(prompt.isCreated());
    EXPECT_FALSE(prompt.isVisible());
    EXPECT_EQ(prompt.parentWidget(), &main);
    EXPECT_TRUE(prompt.windowFlags() & Qt::FramelessWindowHint);
    ASSERT_TRUE(prompt.picture()->isLoaded());
    EXPECT_EQ(prompt.picture()->size(), QSize(856, 176));
    EXPECT_TRUE(prompt.picture()->isAnimated());
    EXPECT_EQ(prompt.size(), QSize(858, 178));
    EXPECT_LE((prompt.geometry().center() - main.frameGeometry().center()).manhattanLength(), 2);
    expectOnlyVersionMessages();
}

TEST_F(LanguageDialogs, PromptShowsHidesAndGivesWayToPause) {
    QWidget main;
    main.resize(972, 640);
    main.show();
    CVSKInsertUSB prompt;
    prompt.Create(&main);

    prompt.ShowPrompt();
    prompt.ShowPrompt();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&prompt));
    EXPECT_TRUE(prompt.isVisible());
    prompt.HidePrompt();
    prompt.HidePrompt();
    EXPECT_FALSE(prompt.isVisible());

    prompt.ShowPrompt();
    QTest::keyClick(&prompt, Qt::Key_A);
    EXPECT_TRUE(prompt.isVisible());
    QTest::keyClick(&prompt, Qt::Key_Pause);
    EXPECT_FALSE(prompt.isVisible());

    prompt.ShowPrompt();
    QTest::keyClick(prompt.picture(), Qt::Key_Pause); // at the picture, too
    EXPECT_FALSE(prompt.isVisible());
}

TEST(InsertPrompt, MissingPictureIsReportedAndLeavesTheWindowBlank) {
    kestrune::test::ScopedRegistry registry; // no language component anywhere
    kestrune::test::messages().clear();
    {
        QWidget main;
        CVSKInsertUSB prompt;
        prompt.Create(&main);
        EXPECT_FALSE(prompt.picture()->isLoaded());
        EXPECT_FALSE(kestrune::test::messages().boxes().empty());
        EXPECT_FALSE(prompt.isVisible());
        prompt.ShowPrompt();
        EXPECT_TRUE(prompt.isVisible());
        prompt.HidePrompt();
    }
    kestrune::ReleaseLanguageManager();
    kestrune::ReleaseSystemUtil();
    kestrune::test::messages().clear();
}
