#include "shredengine/RandomStream.h"

#include <gtest/gtest.h>

#include <openssl/evp.h>

#include <cstring>
#include <vector>

using kestrune::engine::RandomStream;

namespace {

// The key stream as the library computes it, from the first byte.
std::vector<uint8_t> reference(const uint8_t (&key)[32], const uint8_t (&iv)[16], size_t length) {
    std::vector<uint8_t> zeros(length), out(length);
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    int written = 0;
    EXPECT_EQ(EVP_EncryptInit_ex(ctx, EVP_aes_256_ctr(), nullptr, key, iv), 1);
    EXPECT_EQ(EVP_EncryptUpdate(ctx, out.data(), &written, zeros.data(), static_cast<int>(length)),
              1);
    EVP_CIPHER_CTX_free(ctx);
    return out;
}

struct Keyed {
    uint8_t key[32];
    uint8_t iv[16];
};

Keyed keyed(uint8_t seed, const uint8_t (&iv)[16]) {
    Keyed k{};
    for (int i = 0; i < 32; ++i)
        k.key[i] = static_cast<uint8_t>(seed * 31 + i * 7);
    std::memcpy(k.iv, iv, sizeof k.iv);
    return k;
}

} // namespace

TEST(RandomStream, MatchesTheCipherAcrossCounterCarries) {
    // An ordinary counter, one whose low half wraps inside the run, one whose whole
    // 128 bits wrap.
    const uint8_t ivs[3][16] = {
        {0x10, 0x32, 0x54, 0x76, 0x98, 0xBA, 0xDC, 0xFE, 0x01, 0x23, 0x45, 0x67, 0, 0, 0, 0},
        {0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0xA6, 0xA7, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
         0xC0},
        {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
         0xF0},
    };
    const size_t length = 3 * 65536 + 1000; // several vector rounds and a ragged end
    for (uint8_t seed = 0; seed < 3; ++seed) {
        Keyed k = keyed(seed, ivs[seed]);
        RandomStream stream;
        ASSERT_TRUE(stream.rekey(k.key, k.iv));
        std::vector<uint8_t> got(length);
        ASSERT_TRUE(stream.fill(got.data(), 70000));
        ASSERT_TRUE(stream.fill(got.data() + 70000, length - 70000));
        EXPECT_EQ(got, reference(k.key, k.iv, length)) << int(seed);
    }
}

TEST(RandomStream, PositionedFillsAreSlicesOfTheStreamAndLeaveItsPositionAlone) {
    const uint8_t iv[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
    Keyed k = keyed(9, iv);
    const std::vector<uint8_t> expected = reference(k.key, k.iv, 1 << 20);
    RandomStream stream;
    ASSERT_TRUE(stream.rekey(k.key, k.iv));
    std::vector<uint8_t> first(4096);
    ASSERT_TRUE(stream.fill(first.data(), first.size()));
    for (auto [position, length] : {std::pair<size_t, size_t>{0, 1},
                                    {5, 11},
                                    {17, 4096},
                                    {3, 512 * 40 + 9},
                                    {65536, 512 * 64},
                                    {1000000, 48575}}) {
        std::vector<uint8_t> got(length);
        ASSERT_TRUE(stream.fillAt(got.data(), length, position));
        EXPECT_TRUE(std::equal(got.begin(), got.end(), expected.begin() + position))
            << position << "+" << length;
    }
    std::vector<uint8_t> next(8192);
    ASSERT_TRUE(stream.fill(next.data(), next.size()));
    EXPECT_TRUE(std::equal(next.begin(), next.end(), expected.begin() + 4096));

    // Replaying gives the same bytes again; a fresh key does not.
    ASSERT_TRUE(stream.restart());
    ASSERT_TRUE(stream.fill(first.data(), first.size()));
    EXPECT_TRUE(std::equal(first.begin(), first.end(), expected.begin()));
    ASSERT_TRUE(stream.rekey());
    ASSERT_TRUE(stream.fill(first.data(), first.size()));
    EXPECT_FALSE(std::equal(first.begin(), first.end(), expected.begin()));
}

TEST(RandomStream, RefusesToFillBeforeItHasAKey) {
    RandomStream stream;
    uint8_t out[16] = {};
    EXPECT_FALSE(stream.fill(out, sizeof out));
    EXPECT_FALSE(stream.restart());
}
