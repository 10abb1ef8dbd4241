// Feeds arbitrary bytes to the GIF walk. Besides the sanitizers' own checks it insists on
// the walk's promises: counting and cutting agree, and every cut frame is a well-formed
// one-frame GIF of the original header.

#include "controls/GifFrameSplitter.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

using namespace kestrune::gif;

namespace {

void require(bool condition) {
    if (!condition)
        std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    GifWalker walker(data, size);
    const std::size_t count = walker.CountFrames();
    require(walker.offset() == (walker.valid() ? walker.headerSize() : size));

    const std::vector<GifFrame> frames = SplitFrames(data, size);
    require(frames.size() == count);
    if (!walker.valid()) {
        require(count == 0);
        return 0;
    }

    const std::size_t header = walker.headerSize();
    for (const GifFrame& frame : frames) {
        const auto& buffer = frame.buffer;
        require(buffer.size() >= header + 9);
        require(buffer.size() <= size + 1);
        require(std::memcmp(buffer.data(), data, header) == 0);
        require(buffer.back() == 0x3B);
        require(frame.disposal >= 0 && frame.disposal <= 7);
        require(frame.delay >= -1 && frame.delay <= 0xFFFF);

        GifWalker alone(buffer.data(), buffer.size());
        require(alone.valid());
        require(alone.CountFrames() == 1);
        GifFrame again;
        require(alone.ExtractFrame(again));
        require(again.buffer == buffer);
        require(again.delay == frame.delay && again.disposal == frame.disposal);
        require(again.left == frame.left && again.width == frame.width);
        require(FrameHoldMilliseconds(frame.delay) >= 50);
    }
    return 0;
}
