#include "GifBuilder.h"
#include "TestSupport.h"
#include "controls/CPictureEx.h"

#include <QBuffer>
#include <QPalette>
#include <QTest>
#include <gtest/gtest.h>

#include <memory>

using kestrune::CPictureEx;
using kestrune::test::GifBuilder;

namespace {

QByteArray encode(const QImage& image, const char* format) {
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, format);
    return bytes;
}

QImage filled(int w, int h, QColor colour) {
    QImage image(w, h, QImage::Format_RGB32);
    image.fill(colour);
    return image;
}

QRgb rgbAt(const CPictureEx& picture, int x, int y) {
    return picture.surfaceImage().pixel(x, y) & 0xFFFFFF;
}

// Waits until the animation has drawn `colour` at (x, y).
bool waitForPixel(const CPictureEx& picture, int x, int y, QRgb colour) {
    return QTest::qWaitFor([&] { return rgbAt(picture, x, y) == colour; }, 5000);
}

} // namespace

TEST(PictureControl, StillPicturesTakeTheirSize) {
    CPictureEx picture;
    const QImage source = filled(30, 20, QColor(0, 0, 200));

    ASSERT_TRUE(picture.LoadImageData(encode(source, "JPG")));
    EXPECT_TRUE(picture.ShowImage());
    EXPECT_EQ(picture.size(), QSize(30, 20));
    EXPECT_LT(qAbs(qBlue(rgbAt(picture, 15, 10)) - 200), 8);

    ASSERT_TRUE(picture.LoadImageData(encode(filled(7, 5, Qt::red), "BMP")));
    EXPECT_TRUE(picture.ShowImage());
    EXPECT_EQ(picture.size(), QSize(7, 5));
    EXPECT_EQ(rgbAt(picture, 6, 4), 0xFF0000u);

    // Whatever resolution a file states, its pixels are layout pixels: a 72-dpi banner
    // is not stretched, a 300-dpi one does not shrink.
    for (int dpi : {72, 300, 600}) {
        SCOPED_TRACE(dpi);
        QImage tagged = filled(40, 60, Qt::green);
        tagged.setDotsPerMeterX(qRound(dpi / 0.0254));
        tagged.setDotsPerMeterY(qRound(dpi / 0.0254));
        for (const char* format : {"PNG", "JPG", "BMP"}) {
            const QByteArray data = encode(tagged, format);
            ASSERT_NEAR(QImage::fromData(data).dotsPerMeterX(), tagged.dotsPerMeterX(), 2)
                << format << " keeps no resolution";
            ASSERT_TRUE(picture.LoadImageData(data)) << format;
            EXPECT_TRUE(picture.ShowImage());
            EXPECT_EQ(picture.size(), QSize(40, 60)) << format;
            EXPECT_EQ(picture.surfaceImage().size(), QSize(40, 60)) << format;
        }
    }
}

TEST(PictureControl, ADrawingForTwiceThePixelsKeepsTheLayoutSize) {
    CPictureEx picture;
    QImage big = filled(80, 40, Qt::red);
    // One column of another colour: drawn 1:1, it survives as one device pixel.
    for (int y = 0; y < 40; ++y)
        big.setPixel(41, y, qRgb(0, 0, 255));
    ASSERT_TRUE(picture.LoadImageData(encode(big, "PNG"), 2.0));
    EXPECT_TRUE(picture.ShowImage());
    EXPECT_EQ(picture.pixelRatio(), 2.0);
    EXPECT_EQ(picture.size(), QSize(40, 20));
    EXPECT_EQ(picture.surfaceImage().size(), QSize(80, 40));

    QImage screen(80, 40, QImage::Format_RGB32);
    screen.setDevicePixelRatio(2.0);
    screen.fill(Qt::white);
    picture.render(&screen);
    EXPECT_EQ(screen.pixel(40, 10) & 0xFFFFFF, 0xFF0000u);
    EXPECT_EQ(screen.pixel(41, 10) & 0xFFFFFF, 0x0000FFu);
    EXPECT_EQ(screen.pixel(42, 10) & 0xFFFFFF, 0xFF0000u);

    // The next plain picture is a plain one again.
    ASSERT_TRUE(picture.LoadImageData(encode(filled(8, 6, Qt::red), "PNG")));
    EXPECT_EQ(picture.pixelRatio(), 1.0);
    EXPECT_EQ(picture.size(), QSize(8, 6));
}

TEST(PictureControl, SingleFrameGifIsStillAtTheLogicalScreenSize) {
    GifBuilder gif;
    gif.header(12, 9).control(50, 2).image(0, 0, 4, 4, GifBuilder::kRed).trailer();
    CPictureEx picture;
    ASSERT_TRUE(picture.LoadImageData(gif.toByteArray()));
    EXPECT_EQ(picture.frameCount(), 0);
    EXPECT_TRUE(picture.ShowImage());
    EXPECT_FALSE(picture.isAnimated());
    EXPECT_EQ(picture.size(), QSize(12, 9));
    EXPECT_EQ(rgbAt(picture, 1, 1), 0xFF0000u);
}

TEST(PictureControl, BadDataLeavesTheControlEmptyAndSilent) {
    kestrune::test::messages().clear();
    CPictureEx picture;
    ASSERT_TRUE(picture.LoadImageData(encode(filled(9, 9, Qt::blue), "PNG")));

    GifBuilder headerOnly;
    headerOnly.header(5, 5).trailer();
    GifBuilder unknownFirst;
    unknownFirst.header(5, 5).raw({0x21, 0x42, 0}).image(0, 0, 1, 1, 1).trailer();
    const QByteArray inputs[] = {QByteArray("hello, not a picture"), QByteArray(),
                                 headerOnly.toByteArray(), unknownFirst.toByteArray(),
                                 QByteArray("GIF89a\x05")};
    for (const QByteArray& input : inputs) {
        SCOPED_TRACE(input.left(12).toHex().toStdString());
        EXPECT_FALSE(picture.LoadImageData(input));
        EXPECT_FALSE(picture.isLoaded());
        EXPECT_FALSE(picture.ShowImage());
        EXPECT_TRUE(picture.surfaceImage().isNull());
        EXPECT_EQ(picture.size(), QSize(9, 9)); // a failed load keeps the last size
    }
    EXPECT_TRUE(kestrune::test::messages().boxes().empty());
}

TEST(PictureControl, DisposalToBackgroundClearsTheFrameArea) {
    GifBuilder gif;
    gif.header(10, 10).control(5, 2).image(0, 0, 10, 10, GifBuilder::kRed);
    gif.control(100, 0).image(0, 0, 2, 2, GifBuilder::kGreen).trailer();
    CPictureEx picture;
    ASSERT_TRUE(picture.LoadImageData(gif.toByteArray()));
    EXPECT_EQ(picture.frameCount(), 2);
    EXPECT_FALSE(picture.ShowImage()); // the animation thread draws
    EXPECT_TRUE(picture.isAnimated());

    ASSERT_TRUE(waitForPixel(picture, 0, 0, 0x00FF00u));
    EXPECT_EQ(rgbAt(picture, 5, 5), picture.palette().color(QPalette::Button).rgb() & 0xFFFFFF);
    picture.StopAnimation();
    EXPECT_FALSE(picture.isAnimated());
}

TEST(PictureControl, DisposalToPreviousRestoresTheSavedArea) {
    GifBuilder gif;
    gif.header(10, 10).application().control(5, 1).image(0, 0, 10, 10, GifBuilder::kRed);
    gif.control(5, 3).image(0, 0, 4, 4, GifBuilder::kBlue);
    gif.control(100, 0).comment("last").image(8, 8, 2, 2, GifBuilder::kGreen).trailer();
    CPictureEx picture;
    ASSERT_TRUE(picture.LoadImageData(gif.toByteArray()));
    EXPECT_EQ(picture.frameCount(), 3);
    picture.ShowImage();

    ASSERT_TRUE(waitForPixel(picture, 8, 8, 0x00FF00u));
    EXPECT_EQ(rgbAt(picture, 1, 1), 0xFF0000u); // not the blue of frame 2
    EXPECT_EQ(rgbAt(picture, 5, 5), 0xFF0000u);
}

TEST(PictureControl, UndecodableFramesAreDroppedAndTheRestPlays) {
    GifBuilder gif;
    gif.header(6, 6).control(5, 0).image(0, 0, 6, 6, GifBuilder::kRed);
    gif.control(5, 0).image(0, 0, 0, 0, GifBuilder::kBlue); // nothing to show
    gif.control(5, 0).image(1, 1, 2, 2, GifBuilder::kGreen).trailer();
    CPictureEx picture;
    ASSERT_TRUE(picture.LoadImageData(gif.toByteArray()));
    EXPECT_EQ(picture.frameCount(), 2);
}

TEST(PictureControl, ZeroSizedScreenTakesTheFramesExtent) {
    GifBuilder gif;
    gif.header(0, 0).control(5, 0).image(0, 0, 3, 2, GifBuilder::kRed);
    gif.control(5, 0).image(2, 1, 4, 4, GifBuilder::kGreen).trailer();
    CPictureEx picture;
    if (!picture.LoadImageData(gif.toByteArray()))
        GTEST_SKIP() << "Qt does not decode frames of a zero-sized screen";
    EXPECT_EQ(picture.size(), QSize(6, 5));
}

TEST(PictureControl, NewLoadOrDestructionStopsAPlayingAnimation) {
    GifBuilder gif;
    gif.header(8, 8).control(5, 2).image(0, 0, 8, 8, GifBuilder::kRed);
    gif.control(5, 3).image(2, 2, 2, 2, GifBuilder::kBlue).trailer();

    auto picture = std::make_unique<CPictureEx>();
    ASSERT_TRUE(picture->LoadImageData(gif.toByteArray()));
    picture->ShowImage();
    ASSERT_TRUE(waitForPixel(*picture, 0, 0, 0xFF0000u));
    picture->ShowImage(); // a second start does not start a second thread
    ASSERT_TRUE(picture->LoadImageData(encode(filled(3, 4, Qt::white), "PNG")));
    EXPECT_FALSE(picture->isAnimated());
    EXPECT_TRUE(picture->ShowImage());
    EXPECT_EQ(picture->size(), QSize(3, 4));
    EXPECT_EQ(rgbAt(*picture, 2, 3), 0xFFFFFFu);

    // Destroyed mid-animation, with repaint requests still queued.
    ASSERT_TRUE(picture->LoadImageData(gif.toByteArray()));
    picture->show();
    picture->ShowImage();
    QTest::qWait(120);
    picture.reset();
    QTest::qWait(20);
}

TEST(PictureControl, ReleaseEmptiesAndResetsTheBackground) {
    GifBuilder gif;
    gif.header(4, 4).control(5, 0).image(0, 0, 4, 4, 1).control(5, 0).image(0, 0, 4, 4, 2);
    gif.trailer();
    CPictureEx picture;
    ASSERT_TRUE(picture.LoadImageData(gif.toByteArray()));
    picture.ShowImage();
    picture.ReleaseImage();
    EXPECT_FALSE(picture.isLoaded());
    EXPECT_FALSE(picture.isAnimated());
    EXPECT_EQ(picture.frameCount(), 0);
    EXPECT_FALSE(picture.ShowImage());
    EXPECT_TRUE(picture.PrepareSurface(5, 6));
    EXPECT_EQ(picture.size(), QSize(5, 6));
    EXPECT_FALSE(picture.PrepareSurface(0, 6));
    EXPECT_FALSE(picture.PrepareSurface(100000, 100000));
}
