#pragma once

// Writes small GIFs block by block, so tests can place any block anywhere. Pixels are
// stored with a 128-colour table and 8-bit codes with a clear code every 100 pixels, so
// the LZW stream never grows its code size and any decoder reads it.

#include <QByteArray>
#include <cstdint>
#include <string>
#include <vector>

namespace kestrune::test {

class GifBuilder {
public:
    using Bytes = std::vector<std::uint8_t>;

    // Colour table index -> colour used by the tests.
    static constexpr std::uint8_t kRed = 1, kGreen = 2, kBlue = 3, kWhite = 4;

    GifBuilder& header(int width, int height, bool globalTable = true) {
        append("GIF89a");
        put16(width);
        put16(height);
        bytes.push_back(globalTable ? 0x86 : 0x00); // 128 entries
        bytes.push_back(0);
        bytes.push_back(0);
        if (globalTable) {
            for (int i = 0; i < 128; ++i) {
                const std::uint32_t c = colour(i);
                bytes.push_back(std::uint8_t(c >> 16));
                bytes.push_back(std::uint8_t(c >> 8));
                bytes.push_back(std::uint8_t(c));
            }
        }
        return *this;
    }

    GifBuilder& control(int delay, int disposal, int transparent = -1) {
        bytes.insert(bytes.end(), {0x21, 0xF9, 0x04});
        bytes.push_back(std::uint8_t((disposal & 7) << 2 | (transparent >= 0 ? 1 : 0)));
        put16(delay);
        bytes.push_back(std::uint8_t(transparent >= 0 ? transparent : 0));
        bytes.push_back(0);
        return *this;
    }

    GifBuilder& comment(const std::string& text) {
        bytes.insert(bytes.end(), {0x21, 0xFE});
        subBlocks(Bytes(text.begin(), text.end()));
        return *this;
    }

    GifBuilder& application() {
        bytes.insert(bytes.end(), {0x21, 0xFF, 0x0B});
        append("NETSCAPE2.0");
        bytes.insert(bytes.end(), {0x03, 0x01, 0x00, 0x00, 0x00}); // loop for ever
        return *this;
    }

    GifBuilder& plainText() {
        bytes.insert(bytes.end(), {0x21, 0x01, 0x0C});
        bytes.insert(bytes.end(), 12, 0);
        subBlocks(Bytes{'h', 'i'});
        return *this;
    }

    // A frame filled with one colour index; `localTable` adds a 4-entry local table.
    GifBuilder& image(int left, int top, int width, int height, std::uint8_t index,
                      bool localTable = false) {
        bytes.push_back(0x2C);
        put16(left);
        put16(top);
        put16(width);
        put16(height);
        bytes.push_back(localTable ? 0x81 : 0x00);
        if (localTable)
            for (int i = 0; i < 4; ++i) {
                const std::uint32_t c = colour(i);
                bytes.push_back(std::uint8_t(c >> 16));
                bytes.push_back(std::uint8_t(c >> 8));
                bytes.push_back(std::uint8_t(c));
            }
        bytes.push_back(7); // minimum code size: codes are 8 bits wide
        Bytes codes;
        const int pixels = width * height;
        for (int i = 0; i < pixels; ++i) {
            if (i % 100 == 0)
                codes.push_back(0x80); // clear
            codes.push_back(index);
        }
        codes.push_back(0x81); // end of information
        subBlocks(codes);
        return *this;
    }

    GifBuilder& trailer() {
        bytes.push_back(0x3B);
        return *this;
    }

    GifBuilder& raw(const Bytes& more) {
        bytes.insert(bytes.end(), more.begin(), more.end());
        return *this;
    }

    std::size_t size() const { return bytes.size(); }
    QByteArray toByteArray() const {
        return QByteArray(reinterpret_cast<const char*>(bytes.data()), qsizetype(bytes.size()));
    }

    static std::uint32_t colour(int index) {
        switch (index) {
        case kRed:
            return 0xFF0000;
        case kGreen:
            return 0x00FF00;
        case kBlue:
            return 0x0000FF;
        case kWhite:
            return 0xFFFFFF;
        default:
            return 0x000000;
        }
    }

    Bytes bytes;

private:
    void append(const char* text) {
        for (; *text; ++text)
            bytes.push_back(std::uint8_t(*text));
    }
    void put16(int value) {
        bytes.push_back(std::uint8_t(value & 0xFF));
        bytes.push_back(std::uint8_t((value >> 8) & 0xFF));
    }
    void subBlocks(const Bytes& data) {
        std::size_t at = 0;
        while (at < data.size()) {
            const std::size_t n = std::min<std::size_t>(255, data.size() - at);
            bytes.push_back(std::uint8_t(n));
            bytes.insert(bytes.end(), data.begin() + long(at), data.begin() + long(at + n));
            at += n;
        }
        bytes.push_back(0);
    }
};

} // namespace kestrune::test
