#include "TestSupport.h"
#include "controls/CPictureEx.h"
#include "controls/GifFrameSplitter.h"

#include <QFile>
#include <QImage>
#include <gtest/gtest.h>

#include <set>

using kestrune::CPictureEx;

namespace {

QByteArray readFile(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

struct Expected {
    const char* name;
    int width;
    int height;
};

} // namespace

TEST(Artwork, LanguagePicturesLoadAtTheirLayoutSizes) {
    const Expected pictures[] = {
        {"top.jpg", 972, 110},
        {"bott_logo.jpg", 270, 53},
        {"bott_middle.jpg", 550, 53},
        {"bott_middle_settings.jpg", 550, 53},
        {"bott_middle_about.jpg", 550, 53},
        {"bott_middle_update.jpg", 550, 53},
        {"settings_top.jpg", 707, 48},
        {"settings_bot.jpg", 707, 50},
        {"grey_usb.jpg", 300, 180},
        {"insert_usb.gif", 856, 176},
    };
    for (const char* code : {"NTV", "DE"}) {
        for (const Expected& e : pictures) {
            SCOPED_TRACE(std::string(code) + "/" + e.name);
            const QByteArray data =
                readFile(kestrune::test::sourceDir() + "/res/lang/" + code + "/" + e.name);
            ASSERT_FALSE(data.isEmpty());
            CPictureEx picture;
            ASSERT_TRUE(picture.LoadImageData(data));
            EXPECT_EQ(picture.size(), QSize(e.width, e.height));
            picture.StopAnimation();

            // The drawing for screens with twice the pixels covers the same layout size.
            QString sharpName = QString::fromLatin1(e.name);
            sharpName.insert(sharpName.lastIndexOf(QLatin1Char('.')), QStringLiteral("@2x"));
            const QByteArray sharp =
                readFile(kestrune::test::sourceDir() + "/res/lang/" + code + "/" + sharpName);
            ASSERT_FALSE(sharp.isEmpty()) << sharpName.toStdString();
            CPictureEx sharpPicture;
            ASSERT_TRUE(sharpPicture.LoadImageData(sharp, 2.0));
            EXPECT_EQ(sharpPicture.size(), QSize(e.width, e.height));
            EXPECT_EQ(sharpPicture.surfaceImage().size(), QSize(2 * e.width, 2 * e.height));
            sharpPicture.StopAnimation();
        }
        const QString folder = kestrune::test::sourceDir() + "/res/lang/" + code;
        const QImage panel(folder + "/info_bkg.bmp");
        EXPECT_EQ(QImage(folder + "/info_bkg@2x.bmp").size(), panel.size() * 2);
        // Drawn centred at 410 px in the 972 px window, above the bottom strip at 587 px,
        // it holds the information texts with room around them.
        const QRect drawn(QPoint((972 - panel.width()) / 2, 410), panel.size());
        EXPECT_TRUE(drawn.contains(QRect(QPoint(142, 418), QPoint(834, 562))));
        EXPECT_LE(drawn.bottom(), 587 - 12);
    }
}

TEST(Artwork, InsertPromptAnimatesWithBothDisposalKinds) {
    const QByteArray data = readFile(kestrune::test::sourceDir() + "/res/lang/NTV/insert_usb.gif");
    const auto frames = kestrune::gif::SplitFrames(
        reinterpret_cast<const std::uint8_t*>(data.constData()), std::size_t(data.size()));
    ASSERT_GT(frames.size(), 5u);
    std::set<int> disposals;
    for (const auto& frame : frames) {
        disposals.insert(frame.disposal);
        EXPECT_GE(frame.delay, 5);
    }
    EXPECT_TRUE(disposals.count(2));
    EXPECT_TRUE(disposals.count(3));

    CPictureEx picture;
    ASSERT_TRUE(picture.LoadImageData(data));
    EXPECT_EQ(picture.frameCount(), int(frames.size()));
}

TEST(Artwork, ProgramBitmapsAreInTheResources) {
    const Expected bitmaps[] = {{"130", 46, 53}, {"131", 46, 53}, {"143", 46, 53}, {"169", 46, 53},
                                {"134", 41, 53}, {"135", 41, 53}, {"142", 41, 53}, {"139", 44, 53},
                                {"140", 44, 53}, {"141", 44, 53}, {"168", 44, 53}, {"132", 6, 53},
                                {"138", 17, 53}};
    for (const Expected& e : bitmaps) {
        SCOPED_TRACE(e.name);
        const QImage image(QStringLiteral(":/bitmaps/%1.bmp").arg(e.name));
        EXPECT_EQ(image.size(), QSize(e.width, e.height));
        EXPECT_EQ(image.depth(), 32); // decoded 24-bit, no alpha
        EXPECT_FALSE(image.hasAlphaChannel());
    }
    EXPECT_FALSE(QImage(":/bitmaps/144.bmp").isNull());
    for (const char* id : {"130", "131", "132", "134", "135", "138", "139", "140", "141", "142",
                           "143", "144", "168", "169"}) {
        const QImage plain(QStringLiteral(":/bitmaps/%1.bmp").arg(id));
        EXPECT_EQ(QImage(QStringLiteral(":/bitmaps/%1@2x.bmp").arg(id)).size(), plain.size() * 2)
            << id;
    }
    for (int size : {16, 32, 48, 64, 128, 256}) {
        const QImage icon(QStringLiteral(":/icons/hicolor/%1/kestrune.png").arg(size));
        EXPECT_EQ(icon.size(), QSize(size, size));
    }
    EXPECT_FALSE(QImage(":/icons/kestrune.png").isNull());
}
