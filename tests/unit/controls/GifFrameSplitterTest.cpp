#include "controls/GifFrameSplitter.h"
#include "GifBuilder.h"

#include <QBuffer>
#include <QImageReader>
#include <gtest/gtest.h>

using kestrune::gif::BlockKind;
using kestrune::gif::FrameHoldMilliseconds;
using kestrune::gif::GifFrame;
using kestrune::gif::GifWalker;
using kestrune::gif::SplitFrames;
using kestrune::test::GifBuilder;

namespace {

std::vector<GifFrame> split(const GifBuilder& gif) {
    return SplitFrames(gif.bytes.data(), gif.bytes.size());
}

std::size_t countFrames(const GifBuilder::Bytes& bytes) {
    GifWalker walker(bytes.data(), bytes.size());
    return walker.CountFrames();
}

// What Qt's own reader makes of the data: frame count and the delays it reports.
struct QtView {
    int count = 0;
    std::vector<int> delays;
};
QtView readWithQt(const GifBuilder& gif) {
    QByteArray data = gif.toByteArray();
    QBuffer buffer(&data);
    buffer.open(QIODevice::ReadOnly);
    QImageReader reader(&buffer, "gif");
    QtView view;
    QImage image;
    while (reader.read(&image)) {
        ++view.count;
        view.delays.push_back(reader.nextImageDelay());
    }
    return view;
}

GifBuilder::Bytes concat(std::initializer_list<GifBuilder::Bytes> parts) {
    GifBuilder::Bytes out;
    for (const auto& part : parts)
        out.insert(out.end(), part.begin(), part.end());
    return out;
}

} // namespace

TEST(GifFrameSplitter, RecognisesOnlyBothSignatures) {
    const std::uint8_t a[] = {'G', 'I', 'F', '8', '7', 'a'};
    const std::uint8_t b[] = {'G', 'I', 'F', '8', '9', 'a'};
    const std::uint8_t c[] = {'G', 'I', 'F', '8', '8', 'a'};
    EXPECT_TRUE(kestrune::gif::IsGif(a, 6));
    EXPECT_TRUE(kestrune::gif::IsGif(b, 6));
    EXPECT_FALSE(kestrune::gif::IsGif(c, 6));
    EXPECT_FALSE(kestrune::gif::IsGif(b, 5));
    EXPECT_FALSE(kestrune::gif::IsGif(nullptr, 0));
}

TEST(GifFrameSplitter, OneFrameBufferIsHeaderImageAndTrailer) {
    GifBuilder head;
    head.header(10, 8);
    GifBuilder block;
    block.image(1, 2, 3, 4, GifBuilder::kRed);
    GifBuilder gif;
    gif.raw(head.bytes).raw(block.bytes).trailer();

    GifWalker walker(gif.bytes.data(), gif.size());
    ASSERT_TRUE(walker.valid());
    EXPECT_EQ(walker.screenWidth(), 10);
    EXPECT_EQ(walker.screenHeight(), 8);
    EXPECT_EQ(walker.globalColourTableSize(), 384u);
    EXPECT_EQ(walker.CountFrames(), 1u);

    const auto frames = split(gif);
    ASSERT_EQ(frames.size(), 1u);
    const GifFrame& f = frames[0];
    EXPECT_EQ(f.buffer, concat({head.bytes, block.bytes, {0x3B}}));
    EXPECT_EQ(f.delay, -1);
    EXPECT_EQ(f.disposal, 0);
    EXPECT_TRUE(f.hasImage);
    EXPECT_EQ(f.left, 1);
    EXPECT_EQ(f.top, 2);
    EXPECT_EQ(f.width, 3);
    EXPECT_EQ(f.height, 4);
    EXPECT_EQ(readWithQt(gif).count, 1);
}

TEST(GifFrameSplitter, DelaysAndDisposalsAgreeWithQtsReader) {
    GifBuilder gif;
    gif.header(6, 6).application();
    const int delays[] = {0, 4, 5, 20};
    const int disposals[] = {1, 2, 3, 0};
    for (int i = 0; i < 4; ++i)
        gif.control(delays[i], disposals[i]).image(i, 0, 2, 2, GifBuilder::kRed);
    gif.trailer();

    const auto frames = split(gif);
    ASSERT_EQ(frames.size(), 4u);
    const QtView qt = readWithQt(gif);
    ASSERT_EQ(qt.count, 4);
    for (int i = 0; i < 4; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(frames[i].delay, delays[i]);
        EXPECT_EQ(frames[i].disposal, disposals[i]);
        EXPECT_EQ(frames[i].left, i);
        // Qt reports a delay of 0 as 100 ms; any other delay as it stands.
        if (delays[i] != 0) {
            EXPECT_EQ(frames[i].delay * 10, qt.delays[i]);
        }
        // Every cut frame is a GIF Qt reads on its own.
        QImage alone =
            QImage::fromData(frames[i].buffer.data(), int(frames[i].buffer.size()), "GIF");
        EXPECT_FALSE(alone.isNull());
    }
}

TEST(GifFrameSplitter, HoldTimesFollowTheDelayRule) {
    EXPECT_EQ(FrameHoldMilliseconds(-1), 100); // no control block: held, not for ever
    EXPECT_EQ(FrameHoldMilliseconds(0), 100);
    EXPECT_EQ(FrameHoldMilliseconds(4), 100);
    EXPECT_EQ(FrameHoldMilliseconds(5), 50);
    EXPECT_EQ(FrameHoldMilliseconds(20), 200);
    EXPECT_EQ(FrameHoldMilliseconds(65535), 655350);
}

TEST(GifFrameSplitter, CommentBetweenControlAndImageIsKeptOnce) {
    GifBuilder head, first, second;
    head.header(4, 4);
    first.control(10, 2).image(0, 0, 4, 4, GifBuilder::kRed);
    second.control(7, 3).comment("between").image(0, 0, 2, 2, GifBuilder::kGreen);
    GifBuilder gif;
    gif.raw(head.bytes).raw(first.bytes).raw(second.bytes).trailer();

    const auto frames = split(gif);
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[1].buffer, concat({head.bytes, second.bytes, {0x3B}}));
    EXPECT_EQ(frames[1].delay, 7);
    EXPECT_EQ(frames[1].disposal, 3);
    EXPECT_EQ(readWithQt(gif).count, 2);
}

TEST(GifFrameSplitter, LeadingExtensionsAreSkippedNotCopied) {
    GifBuilder head, frame;
    head.header(4, 4);
    frame.image(0, 0, 4, 4, GifBuilder::kBlue, true);
    GifBuilder gif;
    gif.raw(head.bytes).application().comment("made by a test").raw(frame.bytes);
    gif.comment("late").raw(frame.bytes).trailer();

    const auto frames = split(gif);
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[0].buffer, concat({head.bytes, frame.bytes, {0x3B}}));
    EXPECT_EQ(frames[1].buffer, frames[0].buffer);
    EXPECT_EQ(frames[0].width, 4);
}

TEST(GifFrameSplitter, PlainTextEndsAFrameWithoutImage) {
    GifBuilder gif;
    gif.header(4, 4).control(9, 0).plainText().image(0, 0, 1, 1, GifBuilder::kRed).trailer();
    const auto frames = split(gif);
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_FALSE(frames[0].hasImage);
    EXPECT_EQ(frames[0].delay, 9);
    EXPECT_TRUE(frames[1].hasImage);
    EXPECT_EQ(frames[1].delay, -1);
}

TEST(GifFrameSplitter, UnknownBlockOrTrailerEndsTheWalk) {
    GifBuilder gif;
    gif.header(4, 4).image(0, 0, 1, 1, GifBuilder::kRed);
    gif.raw({0x21, 0x77, 0x00}).image(0, 0, 1, 1, GifBuilder::kRed).trailer();
    EXPECT_EQ(countFrames(gif.bytes), 1u);
    EXPECT_EQ(split(gif).size(), 1u);

    GifBuilder stray;
    stray.header(4, 4).control(5, 0).raw({0x00}).image(0, 0, 1, 1, GifBuilder::kRed);
    EXPECT_EQ(countFrames(stray.bytes), 0u);

    GifBuilder afterTrailer;
    afterTrailer.header(4, 4).image(0, 0, 1, 1, 1).trailer().image(0, 0, 1, 1, 1);
    EXPECT_EQ(countFrames(afterTrailer.bytes), 1u);

    GifBuilder controlThenTrailer;
    controlThenTrailer.header(4, 4).control(5, 0).trailer();
    EXPECT_EQ(countFrames(controlThenTrailer.bytes), 0u);
}

TEST(GifFrameSplitter, TruncationAnywhereNeverReadsPastTheData) {
    GifBuilder gif;
    gif.header(8, 8).application().control(5, 2).comment("c").image(0, 0, 8, 8, 1, true);
    gif.control(6, 3).image(2, 2, 3, 3, 2).plainText().trailer();
    ASSERT_EQ(countFrames(gif.bytes), 3u);

    for (std::size_t cut = 0; cut < gif.size(); ++cut) {
        SCOPED_TRACE(cut);
        // A copy of exactly `cut` bytes: the sanitizer build flags any read beyond it.
        GifBuilder::Bytes part(gif.bytes.begin(), gif.bytes.begin() + long(cut));
        GifWalker walker(part.data(), part.size());
        const std::size_t count = walker.CountFrames();
        EXPECT_LE(count, 3u);
        auto frames = SplitFrames(part.data(), part.size());
        EXPECT_EQ(frames.size(), count);
        for (const auto& f : frames)
            EXPECT_LE(f.buffer.size(), cut + 1);
    }
}

TEST(GifFrameSplitter, ChainRunningPastTheEndFails) {
    GifBuilder gif;
    gif.header(2, 2, false).image(0, 0, 1, 1, 1);
    // A second image whose first sub-block announces more bytes than remain.
    gif.raw({0x2C, 0, 0, 0, 0, 1, 0, 1, 0, 0, 7, 200, 1, 2, 3});
    GifWalker walker(gif.bytes.data(), gif.size());
    EXPECT_EQ(walker.CountFrames(), 1u);
    EXPECT_EQ(walker.BlockEnd(gif.size() - 15), 0u);
}

TEST(GifFrameSplitter, HeaderMustHoldItsColourTable) {
    GifBuilder gif;
    gif.header(2, 2);
    GifBuilder::Bytes shortTable(gif.bytes.begin(), gif.bytes.begin() + 13 + 100);
    GifWalker walker(shortTable.data(), shortTable.size());
    EXPECT_FALSE(walker.valid());
    EXPECT_EQ(walker.CountFrames(), 0u);

    GifBuilder::Bytes twelve(gif.bytes.begin(), gif.bytes.begin() + 12);
    EXPECT_FALSE(GifWalker(twelve.data(), twelve.size()).valid());

    GifBuilder noTable;
    noTable.header(2, 2, false);
    GifWalker bare(noTable.bytes.data(), noTable.size());
    EXPECT_TRUE(bare.valid());
    EXPECT_EQ(bare.headerSize(), 13u);
}

TEST(GifFrameSplitter, BlockKindsAndLengths) {
    GifBuilder gif;
    gif.header(2, 2, false);
    const std::size_t app = gif.size();
    gif.application();
    const std::size_t comment = gif.size();
    gif.comment("abc");
    const std::size_t control = gif.size();
    gif.control(1, 1);
    const std::size_t text = gif.size();
    gif.plainText();
    const std::size_t image = gif.size();
    gif.image(0, 0, 1, 1, 1, true);
    const std::size_t trailer = gif.size();
    gif.trailer();

    GifWalker w(gif.bytes.data(), gif.size());
    EXPECT_EQ(w.KindAt(app), BlockKind::Application);
    EXPECT_EQ(w.BlockEnd(app), comment);
    EXPECT_EQ(w.KindAt(comment), BlockKind::Comment);
    EXPECT_EQ(w.BlockEnd(comment), comment + 2 + 1 + 3 + 1);
    EXPECT_EQ(w.KindAt(control), BlockKind::GraphicControl);
    EXPECT_EQ(w.BlockEnd(control), control + 8);
    EXPECT_EQ(w.KindAt(text), BlockKind::PlainText);
    EXPECT_EQ(w.BlockEnd(text), image);
    EXPECT_EQ(w.KindAt(image), BlockKind::Image);
    EXPECT_EQ(w.BlockEnd(image), trailer);
    EXPECT_EQ(w.KindAt(trailer), BlockKind::Trailer);
    EXPECT_EQ(w.BlockEnd(trailer), trailer + 1);
    EXPECT_EQ(w.KindAt(trailer + 1), BlockKind::Unknown);
    EXPECT_EQ(w.BlockEnd(trailer + 1), 0u);
}
