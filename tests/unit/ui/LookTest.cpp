// What a person sees of the main window: texts that fit, the panel, the prompt's place,
// the program's own colours whatever the desktop's, and the sharp bitmaps at ratio 2.
#include "TestSupport.h"
#include "controls/CListCtrlEx.h"
#include "controls/CVSKImageButton.h"
#include "controls/ProgramBitmap.h"
#include "devices/CVSKListThread.h"
#include "devices/DeviceListModel.h"
#include "lang/LanguageManager.h"
#include "shred/ShredStatusDisplay.h"
#include "ui/CVSKInsertUSB.h"
#include "ui/CVSKKestruneDlg.h"
#include "ui/PanelText.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QHeaderView>
#include <QScrollBar>
#include <QTemporaryDir>
#include <QTest>
#include <gtest/gtest.h>

using namespace kestrune;
using platform::RegistryRoot;

namespace {

class MainWindowLook : public ::testing::TestWithParam<const char*> {
protected:
    void SetUp() override {
        qputenv("KESTRUNE_SIMULATED_DISKS", disks.path().toLocal8Bit());
        test::registerComponentDirectory(QStringLiteral("VSKLanguage.dll"), test::binDir());
        QFile choice(QDir(registry.path()).filePath(QStringLiteral("language")));
        ASSERT_TRUE(choice.open(QIODevice::WriteOnly));
        choice.write(QByteArray(GetParam()) + "\n");
        choice.close();
        test::messages().clear();
    }
    void TearDown() override {
        qunsetenv("KESTRUNE_SIMULATED_DISKS");
        ReleaseLanguageManager();
    }
    void setUser(const char* suffix, const char* name, std::uint32_t value) {
        test::writeRegistryDword(RegistryRoot::CurrentUser, test::productKey(suffix),
                                 QString::fromLatin1(name), value);
    }
    static QString text(const QString& key) { return GetLanguageManager()->GetString(key); }

    test::ScopedRegistry registry;
    QTemporaryDir disks;
};

int textWidth(const QFontMetrics& metrics, const QString& text) {
    return metrics.horizontalAdvance(text);
}

} // namespace

TEST_P(MainWindowLook, HeadingsAndRunningTextsFitTheirColumnsAndTheHeaderIsFull) {
    CVSKKestruneDlg window;
    ASSERT_TRUE(window.OnInitDialog());
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
    CListCtrlEx* list = window.deviceList();
    const QFontMetrics header = list->horizontalHeader()->fontMetrics();
    int total = 0;
    for (int column = 0; column < list->columnCount(); ++column) {
        const QString heading = list->horizontalHeaderItem(column)->text();
        EXPECT_GT(list->columnWidth(column), textWidth(header, heading) + 6)
            << heading.toStdString();
        total += list->columnWidth(column);
    }
    const QFontMetrics cells = list->fontMetrics();
    for (const char* key :
         {"status_processing", "status_aborting", "status_formating", "status_shredded"})
        EXPECT_GT(list->columnWidth(DeviceListModel::StatusColumn),
                  textWidth(cells, text(QString::fromLatin1(key))) + 6)
            << key;
    // Every speed a stick reaches, shown as the progress display writes it.
    for (double speed : {0.0, 9.99, 99.99, 510.9, 1234.5, 9999.4})
        EXPECT_GT(list->columnWidth(DeviceListModel::SpeedColumn),
                  textWidth(cells, FormatSpeed(speed)) + 6)
            << speed;
    // The last heading reaches the list's right edge, and nothing needs a scroll bar.
    EXPECT_GE(total, list->viewport()->width());
    EXPECT_EQ(list->horizontalScrollBar()->maximum(), 0);
}

TEST_P(MainWindowLook, ThePanelHoldsEveryTextWithEverySettingOn) {
    setUser("\\Settings", "FormatDrive", 1);
    setUser("\\Settings", "StartAuto", 1);
    for (std::uint32_t algorithm = 100; algorithm <= 103; ++algorithm) {
        setUser("\\Shredding", "ShredAlgo", algorithm);
        CVSKKestruneDlg window;
        ASSERT_TRUE(window.OnInitDialog());
        const QRect panel = window.infoPanelRect();
        ASSERT_FALSE(panel.isNull());
        for (PanelText* text : {window.infoText(), window.warningText()}) {
            SCOPED_TRACE(text->objectName().toStdString() + " " + std::to_string(algorithm));
            EXPECT_FALSE(text->text().isEmpty());
            EXPECT_FALSE(text->isElided());
            EXPECT_TRUE(panel.contains(text->geometry().topLeft()));
            EXPECT_LE(text->geometry().bottom(), panel.bottom());
            EXPECT_GE(text->geometry().height(), text->heightForText(text->width()));
        }
        EXPECT_FALSE(window.infoText()->geometry().intersects(window.warningText()->geometry()));
        EXPECT_FALSE(window.infoText()->title().isEmpty());
    }
}

TEST_P(MainWindowLook, WithoutAWarningTheInformationTakesThePanelAndTooLongTextsSaySo) {
    CVSKKestruneDlg window;
    ASSERT_TRUE(window.OnInitDialog());
    PanelText* info = window.infoText();
    EXPECT_FALSE(window.warningText()->isVisibleTo(&window));
    EXPECT_GT(info->width(), window.infoPanelRect().width() * 3 / 4);

    info->setText(QString(QStringLiteral("A much longer translation of the text. ")).repeated(60));
    EXPECT_TRUE(info->isElided());
    info->grab(); // paints, which sets the tool tip
    EXPECT_EQ(info->toolTip(), info->text());
}

TEST_P(MainWindowLook, ThePromptCoversTheEmptyListAndNoText) {
    CVSKKestruneDlg window;
    ASSERT_TRUE(window.OnInitDialog());
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
    ASSERT_TRUE(window.scanLauncher()->waitUntilIdle(std::chrono::seconds(10)));
    QTRY_VERIFY_WITH_TIMEOUT(window.insertPrompt()->isVisible(), 5000);
    const QRect prompt = window.insertPrompt()->frameGeometry();
    auto global = [](const QWidget* widget) {
        return QRect(widget->mapToGlobal(QPoint(0, 0)), widget->size());
    };
    const QWidget* rows = window.deviceList()->viewport();
    EXPECT_TRUE(global(rows).contains(prompt)) << "within the list's empty rows";
    EXPECT_FALSE(prompt.intersects(global(window.deviceList()->horizontalHeader())));
    EXPECT_FALSE(prompt.intersects(global(window.welcomeText())));
    EXPECT_FALSE(prompt.intersects(global(window.infoText())));
    // Centred over the rows, the same margin on both sides.
    EXPECT_LE(std::abs(prompt.center().x() - global(rows).center().x()), 1);
}

TEST_P(MainWindowLook, ADarkDesktopPaletteDoesNotReachTheWindow) {
    const QPalette desktop = QApplication::palette();
    QPalette dark = desktop;
    for (auto role : {QPalette::Window, QPalette::Base, QPalette::Button})
        dark.setColor(role, QColor(0x20, 0x21, 0x24));
    for (auto role : {QPalette::WindowText, QPalette::Text, QPalette::ButtonText})
        dark.setColor(role, QColor(0xEE, 0xEE, 0xEE));
    QApplication::setPalette(dark);
    {
        QWidget plain;
        ASSERT_EQ(plain.palette().color(QPalette::Base), QColor(0x20, 0x21, 0x24))
            << "the desktop palette did not take";
        CVSKKestruneDlg window;
        ASSERT_TRUE(window.OnInitDialog());
        window.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
        CListCtrlEx* list = window.deviceList();
        EXPECT_EQ(list->palette().color(QPalette::Base), QColor(Qt::white));
        EXPECT_EQ(list->palette().color(QPalette::Text), QColor(Qt::black));
        EXPECT_EQ(window.welcomeText()->palette().color(QPalette::WindowText), QColor(Qt::black));
        // What is drawn: white rows around the watermark, a light header.
        const QImage rows = list->viewport()->grab().toImage();
        EXPECT_EQ(rows.pixel(4, rows.height() - 4) & 0xFFFFFF, 0xFFFFFFu);
        EXPECT_GT(qGray(list->horizontalHeader()->grab().toImage().pixel(5, 3)), 200);
    }
    QApplication::setPalette(desktop);
}

INSTANTIATE_TEST_SUITE_P(BothLanguages, MainWindowLook, ::testing::Values("NTV", "DE"));

TEST(ProgramBitmaps, TheSharpDrawingIsTakenAtRatioTwo) {
    const QImage plain = LoadProgramBitmap(130, 1.0);
    const QImage sharp = LoadProgramBitmap(130, 2.0);
    ASSERT_FALSE(plain.isNull());
    EXPECT_EQ(plain.devicePixelRatio(), 1.0);
    EXPECT_EQ(sharp.devicePixelRatio(), 2.0);
    EXPECT_EQ(sharp.size(), plain.size() * 2);
    EXPECT_EQ(sharp.deviceIndependentSize(), QSizeF(plain.size()));
    // A bitmap without a sharp drawing is the plain one.
    EXPECT_TRUE(LoadProgramBitmap(999, 2.0).isNull());
}

TEST(ProgramBitmaps, AButtonPaintsTheSharpDrawingOnAScreenOfRatioTwo) {
    CVSKImageButton button;
    button.SetBitmaps(130, 131, 143);
    EXPECT_EQ(button.size(), QSize(46, 53));
    QImage screen(46 * 2, 53 * 2, QImage::Format_RGB32);
    screen.setDevicePixelRatio(2.0);
    screen.fill(Qt::black);
    button.render(&screen);
    // Painted 1:1 from the sharp drawing, every device pixel matches it.
    const QImage sharp = LoadProgramBitmap(130, 2.0).convertToFormat(QImage::Format_RGB32);
    int differing = 0;
    for (int y = 0; y < sharp.height(); ++y)
        for (int x = 0; x < sharp.width(); ++x)
            differing += (screen.pixel(x, y) & 0xFFFFFF) != (sharp.pixel(x, y) & 0xFFFFFF);
    EXPECT_EQ(differing, 0);
}

TEST(ProgramBitmaps, TheSharpWatermarkStandsWhereThePlainOneDoes) {
    CListCtrlEx list;
    list.resize(600, 300);
    list.SetBackgroundImage(LoadProgramBitmap(144, 1.0), 98, 70);
    const QRect plain = list.BackgroundRect();
    list.SetBackgroundImage(LoadProgramBitmap(144, 2.0), 98, 70);
    EXPECT_EQ(list.BackgroundRect(), plain);
    EXPECT_EQ(plain.size(), LoadProgramBitmap(144, 1.0).size());
    EXPECT_GT(plain.top(), 0);
}
