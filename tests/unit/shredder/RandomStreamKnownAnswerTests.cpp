// Known answers for the random stream. The Linux and the Windows build check the same
// bytes, each with both of its generators, so a random pass written on one platform
// verifies on the other.
#include "shredengine/RandomStream.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

using kestrune::engine::RandomStream;
using Generator = RandomStream::Generator;

namespace kestrune::engine {
// Names the generator in test names, as gtest finds it beside the type.
void PrintTo(Generator generator, std::ostream* out) {
    *out << (generator == Generator::Fastest ? "fastest" : "library");
}
} // namespace kestrune::engine

namespace {

std::vector<uint8_t> bytes(const std::string& hex) {
    std::vector<uint8_t> out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
        out.push_back(static_cast<uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
    return out;
}

template <size_t N> void load(uint8_t (&to)[N], const std::string& hex) {
    const std::vector<uint8_t> from = bytes(hex);
    ASSERT_EQ(from.size(), N);
    std::copy(from.begin(), from.end(), to);
}

// 64-bit FNV-1a: a long stretch compared by one number.
uint64_t fingerprint(const std::vector<uint8_t>& data) {
    uint64_t hash = 0xcbf29ce484222325ULL;
    for (uint8_t byte : data)
        hash = (hash ^ byte) * 0x100000001b3ULL;
    return hash;
}

class KnownAnswer : public testing::TestWithParam<Generator> {
protected:
    // The stream of key and iv (hex), keyed afresh.
    void key(const std::string& keyHex, const std::string& ivHex) {
        uint8_t k[32];
        uint8_t iv[16];
        load(k, keyHex);
        load(iv, ivHex);
        ASSERT_TRUE(stream.rekey(k, iv));
    }
    std::vector<uint8_t> at(uint64_t position, size_t length) {
        std::vector<uint8_t> out(length);
        EXPECT_TRUE(stream.fillAt(out.data(), length, position));
        return out;
    }

    RandomStream stream{GetParam()};
};

const std::string kCounterKey = "000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f";
const std::string kLongKey = "0b30557a9fc4e90e33587da2c7ec11365b80a5caef14395e83a8cdf2173c6186";
const std::string kLongIv = "1032547698badcfe0123456789abcdef";

} // namespace

// The AES-256 counter-mode example of NIST SP 800-38A (F.5.5): its four blocks encrypted
// with the stream as the key stream give its ciphertext.
TEST_P(KnownAnswer, EncryptsTheStandardsExample) {
    key("603deb1015ca71be2b73aef0857d77811f352c073b6108d72d9810a30914dff4",
        "f0f1f2f3f4f5f6f7f8f9fafbfcfdfeff");
    std::vector<uint8_t> text =
        bytes("6bc1bee22e409f96e93d7e117393172aae2d8a571e03ac9c9eb76fac45af8e51"
              "30c81c46a35ce411e5fbc1191a0a52eff69f2445df4f9b17ad2b417be66c3710");
    std::vector<uint8_t> keyStream(text.size());
    ASSERT_TRUE(stream.fill(keyStream.data(), 20));
    ASSERT_TRUE(stream.fill(keyStream.data() + 20, text.size() - 20));
    for (size_t i = 0; i < text.size(); ++i)
        text[i] ^= keyStream[i];
    EXPECT_EQ(text, bytes("601ec313775789a5b7a7f504bbf3d228f443e3ca4d62b59aca84e990cacaf5c5"
                          "2b0930daa23de94ce87017ba2d84988ddfc9c58db67aada613c2dd08457941a6"));
}

// The counter is one 128-bit number: its low half carries into the high one, and the
// whole wraps to zero.
TEST_P(KnownAnswer, CountsOnAcrossBothHalvesOfTheCounterAndWraps) {
    key(kCounterKey, "0001020304050607fffffffffffffffe");
    EXPECT_EQ(at(0, 48), bytes("13170495133e849aefb0fd0e7481f27c2270807a14280a165c7f692ef2ab5292"
                               "7b712838e3686d36d131b19aaf6af8bf"));
    key(kCounterKey, "ffffffffffffffffffffffffffffffff");
    EXPECT_EQ(at(7, 32), bytes("da5387117b5d8f57eef29000b62a499fd0a9f39a6add2e7780f05d76ae4ab99f"));
}

// A terabyte in, from the middle of a block, as the read-back of a large disk asks.
TEST_P(KnownAnswer, ReachesFarIntoTheStream) {
    key(kLongKey, kLongIv);
    EXPECT_EQ(at((uint64_t{1} << 40) + 5, 40),
              bytes("c803cea56782b40f3d5f5eb76320037e3bdc82ce355eba6af440a586754afe0e"
                    "d34b350fa9573ae9"));
}

// A megabyte and a ragged end, in one piece and in pieces of every alignment, from the
// start and from inside the first block: the bulk paths of each generator.
TEST_P(KnownAnswer, LongStretchesAreTheSameInOnePieceAndInMany) {
    key(kLongKey, kLongIv);
    const size_t length = (size_t{1} << 20) + 1000;
    EXPECT_EQ(fingerprint(at(0, length)), 0x6a1daefe4830a9d1ULL);
    EXPECT_EQ(fingerprint(at(3, length)), 0x41b0a4ccf85a07b0ULL);

    std::vector<uint8_t> pieces(length);
    size_t done = 0;
    for (size_t step : {size_t{1}, size_t{15}, size_t{16}, size_t{17}, size_t{4096}, size_t{70000},
                        size_t{512 * 1024 + 3}}) {
        ASSERT_TRUE(stream.fill(pieces.data() + done, step));
        done += step;
    }
    ASSERT_TRUE(stream.fill(pieces.data() + done, length - done));
    EXPECT_EQ(fingerprint(pieces), 0x6a1daefe4830a9d1ULL);
}

INSTANTIATE_TEST_SUITE_P(RandomStream, KnownAnswer,
                         testing::Values(Generator::Fastest, Generator::Library),
                         [](const testing::TestParamInfo<Generator>& generator) {
                             return generator.param == Generator::Fastest ? "Fastest" : "Library";
                         });

TEST(RandomStream, TheLibraryGeneratorNeverUsesTheVectorPath) {
    EXPECT_FALSE(RandomStream(Generator::Library).vectorized());
}
