#include "controls/GifFrameSplitter.h"

#include <cstring>

namespace kestrune::gif {

namespace {

constexpr std::size_t kScreenDescriptorEnd = 13;

std::size_t colourTableSize(std::uint8_t packed) {
    return (packed & 0x80) ? 3u * (std::size_t(1) << ((packed & 7) + 1)) : 0u;
}

bool isSkippedExtension(BlockKind kind) {
    return kind == BlockKind::Application || kind == BlockKind::Comment;
}

bool endsFrame(BlockKind kind) {
    return kind == BlockKind::Image || kind == BlockKind::PlainText;
}

} // namespace

bool IsGif(const std::uint8_t* data, std::size_t size) {
    return data && size >= 6 &&
           (std::memcmp(data, "GIF87a", 6) == 0 || std::memcmp(data, "GIF89a", 6) == 0);
}

GifWalker::GifWalker(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {
    if (!IsGif(data, size) || size < kScreenDescriptorEnd)
        return;
    screenWidth_ = int(read16(6));
    screenHeight_ = int(read16(8));
    globalTableSize_ = colourTableSize(data_[10]);
    valid_ = headerSize() <= size_;
    offset_ = valid_ ? headerSize() : size_;
}

void GifWalker::Rewind() {
    offset_ = valid_ ? headerSize() : size_;
}

unsigned GifWalker::read16(std::size_t offset) const {
    return unsigned(data_[offset]) | (unsigned(data_[offset + 1]) << 8);
}

BlockKind GifWalker::KindAt(std::size_t offset) const {
    if (offset >= size_)
        return BlockKind::Unknown;
    switch (data_[offset]) {
    case 0x2C:
        return BlockKind::Image;
    case 0x3B:
        return BlockKind::Trailer;
    case 0x21:
        if (offset + 1 >= size_)
            return BlockKind::Unknown;
        switch (data_[offset + 1]) {
        case 0xFF:
            return BlockKind::Application;
        case 0xFE:
            return BlockKind::Comment;
        case 0xF9:
            return BlockKind::GraphicControl;
        case 0x01:
            return BlockKind::PlainText;
        default:
            return BlockKind::Unknown;
        }
    default:
        return BlockKind::Unknown;
    }
}

std::size_t GifWalker::chainEnd(std::size_t offset) const {
    // Length-prefixed sub-blocks up to a zero length byte.
    while (offset < size_) {
        const std::size_t length = data_[offset];
        ++offset;
        if (length == 0)
            return offset;
        if (length > size_ - offset)
            return 0;
        offset += length;
    }
    return 0;
}

std::size_t GifWalker::BlockEnd(std::size_t offset) const {
    std::size_t fixed = 0;
    switch (KindAt(offset)) {
    case BlockKind::Application:
        fixed = 14;
        break;
    case BlockKind::Comment:
        fixed = 2;
        break;
    case BlockKind::GraphicControl:
        return size_ - offset >= 8 ? offset + 8 : 0;
    case BlockKind::PlainText:
        fixed = 15;
        break;
    case BlockKind::Image:
        // The packed byte at 9 must be there to know the local colour table.
        if (size_ - offset < 11)
            return 0;
        fixed = 11 + colourTableSize(data_[offset + 9]);
        break;
    case BlockKind::Trailer:
        return offset + 1;
    case BlockKind::Unknown:
        return 0;
    }
    if (fixed >= size_ - offset)
        return 0;
    return chainEnd(offset + fixed);
}

bool GifWalker::walkFrame(FrameExtent& extent) const {
    if (!valid_)
        return false;
    std::size_t at = offset_;
    while (isSkippedExtension(KindAt(at))) {
        at = BlockEnd(at);
        if (at == 0)
            return false;
    }
    BlockKind kind = KindAt(at);
    if (kind == BlockKind::GraphicControl) {
        extent.start = at;
        extent.controlBlock = at;
        at = BlockEnd(at);
        if (at == 0)
            return false;
        for (;;) {
            kind = KindAt(at);
            if (endsFrame(kind))
                break;
            if (!isSkippedExtension(kind) && kind != BlockKind::GraphicControl)
                return false;
            at = BlockEnd(at);
            if (at == 0)
                return false;
        }
    } else if (endsFrame(kind)) {
        extent.start = at;
        extent.controlBlock = 0;
    } else {
        return false;
    }
    const std::size_t end = BlockEnd(at);
    if (end == 0)
        return false;
    extent.lastBlock = at;
    extent.end = end;
    return true;
}

bool GifWalker::SkipFrame() {
    FrameExtent extent;
    if (!walkFrame(extent))
        return false;
    offset_ = extent.end;
    return true;
}

bool GifWalker::ExtractFrame(GifFrame& frame) {
    FrameExtent extent;
    if (!walkFrame(extent))
        return false;

    frame = GifFrame{};
    if (extent.controlBlock) {
        frame.delay = int(read16(extent.controlBlock + 4));
        frame.disposal = (data_[extent.controlBlock + 3] >> 2) & 7;
    }
    if (KindAt(extent.lastBlock) == BlockKind::Image) {
        frame.hasImage = true;
        frame.left = int(read16(extent.lastBlock + 1));
        frame.top = int(read16(extent.lastBlock + 3));
        frame.width = int(read16(extent.lastBlock + 5));
        frame.height = int(read16(extent.lastBlock + 7));
    }
    const std::size_t header = headerSize();
    const std::size_t length = extent.end - extent.start;
    frame.buffer.reserve(header + length + 1);
    frame.buffer.insert(frame.buffer.end(), data_, data_ + header);
    frame.buffer.insert(frame.buffer.end(), data_ + extent.start, data_ + extent.end);
    frame.buffer.push_back(0x3B);
    offset_ = extent.end;
    return true;
}

std::size_t GifWalker::CountFrames() {
    Rewind();
    std::size_t count = 0;
    while (SkipFrame())
        ++count;
    Rewind();
    return count;
}

int FrameHoldMilliseconds(int delay) {
    return delay >= 5 ? delay * 10 : 100;
}

std::vector<GifFrame> SplitFrames(const std::uint8_t* data, std::size_t size) {
    std::vector<GifFrame> frames;
    GifWalker walker(data, size);
    GifFrame frame;
    while (walker.ExtractFrame(frame))
        frames.push_back(std::move(frame));
    return frames;
}

} // namespace kestrune::gif
