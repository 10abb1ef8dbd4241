#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace kestrune::gif {

// Block kinds of a GIF data stream, told apart by their first bytes.
enum class BlockKind {
    Application,    // 0x21 0xFF
    Comment,        // 0x21 0xFE
    GraphicControl, // 0x21 0xF9
    PlainText,      // 0x21 0x01
    Image,          // 0x2C
    Trailer,        // 0x3B
    Unknown,        // anything else, or too few bytes left to tell
};

// One frame cut out of a GIF as a stand-alone one-frame GIF: the original header,
// logical screen descriptor and global colour table, the frame's blocks, a trailer.
struct GifFrame {
    std::vector<std::uint8_t> buffer;
    int left = 0;
    int top = 0;
    int width = 0;
    int height = 0;
    int delay = -1;   // hundredths of a second; -1 without a graphic control block
    int disposal = 0; // 0 to 7
    bool hasImage = false;
};

bool IsGif(const std::uint8_t* data, std::size_t size);

// Walks the blocks of a GIF without ever reading past `size`. Every failure (unknown
// block, trailer, a block or sub-block chain that would run past the data) ends the walk.
class GifWalker {
public:
    GifWalker(const std::uint8_t* data, std::size_t size);

    // The signature, logical screen descriptor and global colour table are all present.
    bool valid() const { return valid_; }
    int screenWidth() const { return screenWidth_; }
    int screenHeight() const { return screenHeight_; }
    std::size_t globalColourTableSize() const { return globalTableSize_; }
    // 13 + the global colour table size.
    std::size_t headerSize() const { return 13 + globalTableSize_; }
    std::size_t offset() const { return offset_; }

    // Back to the first block after the header.
    void Rewind();
    // Moves past one frame; false (offset unchanged) at the end or at a bad block.
    bool SkipFrame();
    // Cuts out the next frame; false (offset unchanged) at the end or at a bad block.
    bool ExtractFrame(GifFrame& frame);
    // Frames from the start, as SkipFrame counts them.
    std::size_t CountFrames();

    BlockKind KindAt(std::size_t offset) const;
    // End offset of the block at `offset`, or 0 when it is unknown or runs past the data.
    std::size_t BlockEnd(std::size_t offset) const;

private:
    struct FrameExtent {
        std::size_t start = 0;
        std::size_t end = 0;
        std::size_t controlBlock = 0; // offset, or 0 when the frame has none
        std::size_t lastBlock = 0;
    };
    bool walkFrame(FrameExtent& extent) const;
    std::size_t chainEnd(std::size_t offset) const;
    unsigned read16(std::size_t offset) const;

    const std::uint8_t* data_;
    std::size_t size_;
    bool valid_ = false;
    int screenWidth_ = 0;
    int screenHeight_ = 0;
    std::size_t globalTableSize_ = 0;
    std::size_t offset_ = 0;
};

// How long a frame stays on screen: its delay when it is at least 5 hundredths, else
// 100 ms (also for a frame without a graphic control block, delay -1).
int FrameHoldMilliseconds(int delay);

// All frames of a GIF in file order (empty when the data is not a GIF).
std::vector<GifFrame> SplitFrames(const std::uint8_t* data, std::size_t size);

} // namespace kestrune::gif
