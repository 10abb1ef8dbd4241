// The window's pictures come from the chosen language's file.
#include "LanguageManagerFixture.h"

#include "controls/CPictureEx.h"
#include "controls/LanguagePicture.h"
#include "lang/LanguageManager.h"

#include <QColor>
#include <QImage>

namespace kestrune::test {
namespace {

TEST_F(LanguageManagerTest, ShippedFilesCarryEveryPicture) {
    folder_.installShipped();
    LanguageManager manager;
    ASSERT_EQ(manager.GetLanguageCount(), 2);
    for (int index = 0; index < 2; ++index) {
        for (const char* name :
             {"top", "bott_logo", "bott_middle", "bott_middle_settings", "bott_middle_about",
              "bott_middle_update", "settings_top", "settings_bot", "grey_usb", "insert_usb"}) {
            CPictureEx picture;
            ShowLanguagePicture(picture, manager, QLatin1String(name), "JPG", index);
            EXPECT_TRUE(picture.isLoaded()) << name << " in " << index;
        }
        EXPECT_FALSE(manager.LoadBitmapByName(QStringLiteral("info_bkg"), index).isNull());
    }
    EXPECT_TRUE(messages().boxes().empty());
}

TEST_F(LanguageManagerTest, PicturesAndBitmapsComeFromTheLanguageFile) {
    listed({{"NTV", "alpha"}, {"DE", "nobitmap"}}, QStringLiteral("NTV"));
    folder_.write(QStringLiteral("current"), "NTV");
    LanguageManager manager;
    ASSERT_EQ(messages().boxes().size(), 1u);

    const QImage swatch = manager.LoadBitmapByName(QStringLiteral("swatch"), -1);
    ASSERT_EQ(swatch.size(), QSize(3, 2));
    EXPECT_EQ(QColor(swatch.pixel(2, 1)), QColor(Qt::red));

    CPictureEx picture;
    ShowLanguagePicture(picture, manager, QStringLiteral("banner"), "JPG", -1);
    EXPECT_EQ(messages().boxes().size(), 1u);
    ASSERT_TRUE(picture.isLoaded());
    EXPECT_EQ(picture.surfaceImage().size(), QSize(4, 4));
    EXPECT_EQ(QColor(picture.surfaceImage().pixel(1, 1)), QColor(Qt::blue));

    ShowLanguagePicture(picture, manager, QStringLiteral("nothing"), "JPG", 0);
    EXPECT_TRUE(manager.LoadBitmapByName(QStringLiteral("nothing"), 0).isNull());
    // Row 1 lacks GetBitmapId, which stopped the start-up.
    ShowLanguagePicture(picture, manager, QStringLiteral("banner"), "JPG", 1);
    EXPECT_TRUE(manager.LoadBitmapByName(QStringLiteral("swatch"), 1).isNull());
    const auto texts = messages().texts();
    ASSERT_EQ(texts.size(), 5u);
    EXPECT_EQ(texts[0], kMissing + QStringLiteral(" (GetBitmapId)"));
    EXPECT_EQ(texts[1], "Could not locate image in dll. (GetBitmapId)");
    EXPECT_EQ(texts[2], "Could not locate image in dll.");
    EXPECT_EQ(texts[3], kMissing);
    EXPECT_EQ(texts[4], kMissing);
}

} // namespace
} // namespace kestrune::test
