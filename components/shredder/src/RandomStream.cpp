#include "shredengine/RandomStream.h"

#include "CipherLane.h"

#include <algorithm>
#include <climits>
#include <cstring>

#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#define KESTRUNE_VECTOR_AES 1
#endif

namespace kestrune::engine {

namespace {
constexpr size_t kCipherBlock = 16;

uint64_t bigEndian64(const uint8_t* p) {
    uint64_t value = 0;
    for (int i = 0; i < 8; ++i)
        value = (value << 8) | p[i];
    return value;
}

#ifdef KESTRUNE_VECTOR_AES
// One core of a fast machine generates the stream with the library's 128-bit AES
// instructions more slowly than memory takes it; 512-bit ones do 4 blocks per instruction.
constexpr size_t kGroupBlocks = 32; // blocks per loop round: 8 registers of 4
constexpr size_t kGroupBytes = kGroupBlocks * kCipherBlock;

bool vectorAesAvailable() {
    __builtin_cpu_init();
    return __builtin_cpu_supports("aes") && __builtin_cpu_supports("avx512f") &&
           __builtin_cpu_supports("avx512bw") && __builtin_cpu_supports("vaes");
}

__attribute__((target("aes,sse4.1"))) __m128i expandEven(__m128i key, __m128i assist) {
    assist = _mm_shuffle_epi32(assist, 0xFF);
    key = _mm_xor_si128(key, _mm_slli_si128(key, 4));
    key = _mm_xor_si128(key, _mm_slli_si128(key, 4));
    key = _mm_xor_si128(key, _mm_slli_si128(key, 4));
    return _mm_xor_si128(key, assist);
}

__attribute__((target("aes,sse4.1"))) __m128i expandOdd(__m128i key, __m128i assist) {
    assist = _mm_shuffle_epi32(assist, 0xAA);
    key = _mm_xor_si128(key, _mm_slli_si128(key, 4));
    key = _mm_xor_si128(key, _mm_slli_si128(key, 4));
    key = _mm_xor_si128(key, _mm_slli_si128(key, 4));
    return _mm_xor_si128(key, assist);
}

// The 15 round keys of AES-256.
__attribute__((target("aes,sse4.1"))) void expandKey(const uint8_t* key, uint8_t* schedule) {
    __m128i rk[15];
    __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(key));
    __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(key + 16));
    rk[0] = a;
    rk[1] = b;
#define KESTRUNE_EXPAND(i, rcon)                                                                   \
    a = expandEven(a, _mm_aeskeygenassist_si128(b, rcon));                                         \
    rk[i] = a;                                                                                     \
    if (i < 14) {                                                                                  \
        b = expandOdd(b, _mm_aeskeygenassist_si128(a, 0));                                         \
        rk[i + 1] = b;                                                                             \
    }
    KESTRUNE_EXPAND(2, 0x01)
    KESTRUNE_EXPAND(4, 0x02)
    KESTRUNE_EXPAND(6, 0x04)
    KESTRUNE_EXPAND(8, 0x08)
    KESTRUNE_EXPAND(10, 0x10)
    KESTRUNE_EXPAND(12, 0x20)
    KESTRUNE_EXPAND(14, 0x40)
#undef KESTRUNE_EXPAND
    for (int i = 0; i < 15; ++i)
        _mm_storeu_si128(reinterpret_cast<__m128i*>(schedule + 16 * i), rk[i]);
    for (auto& k : rk)
        k = _mm_setzero_si128();
}

// groups * 32 blocks of key stream from counter (hi, lo); the caller makes sure lo does
// not wrap on the way.
__attribute__((target("avx512f,avx512bw,vaes,aes"))) void
vectorCtr(const uint8_t* schedule, uint64_t hi, uint64_t lo, uint8_t* out, size_t groups) {
    __m512i rk[15];
    for (int i = 0; i < 15; ++i)
        rk[i] = _mm512_broadcast_i32x4(
            _mm_loadu_si128(reinterpret_cast<const __m128i*>(schedule + 16 * i)));
    // Counters are kept as little-endian (low, high) pairs and byte-reversed per block.
    const __m512i reverse =
        _mm512_broadcast_i32x4(_mm_setr_epi8(15, 14, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1, 0));
    const __m512i step = _mm512_setr_epi64(4, 0, 4, 0, 4, 0, 4, 0);
    __m512i counter = _mm512_setr_epi64(static_cast<long long>(lo), static_cast<long long>(hi),
                                        static_cast<long long>(lo + 1), static_cast<long long>(hi),
                                        static_cast<long long>(lo + 2), static_cast<long long>(hi),
                                        static_cast<long long>(lo + 3), static_cast<long long>(hi));
    for (size_t g = 0; g < groups; ++g) {
        __m512i x[8];
        for (int j = 0; j < 8; ++j) {
            x[j] = _mm512_xor_si512(_mm512_shuffle_epi8(counter, reverse), rk[0]);
            counter = _mm512_add_epi64(counter, step);
        }
        for (int r = 1; r < 14; ++r) {
            for (int j = 0; j < 8; ++j)
                x[j] = _mm512_aesenc_epi128(x[j], rk[r]);
        }
        for (int j = 0; j < 8; ++j)
            _mm512_storeu_si512(out + g * kGroupBytes + 64 * j,
                                _mm512_aesenclast_epi128(x[j], rk[14]));
    }
}
#endif
} // namespace

std::array<uint8_t, 16> counterAt(const std::array<uint8_t, 16>& iv, uint64_t block) {
    std::array<uint8_t, 16> counter = iv;
    unsigned carry = 0;
    for (int i = 15; i >= 0; --i) {
        unsigned add = (i >= 8 ? static_cast<unsigned>((block >> ((15 - i) * 8)) & 0xFF) : 0u);
        unsigned sum = counter[static_cast<size_t>(i)] + add + carry;
        counter[static_cast<size_t>(i)] = static_cast<uint8_t>(sum);
        carry = sum >> 8;
    }
    return counter;
}

RandomStream::RandomStream(Generator generator) : lane_(std::make_unique<Lane>()) {
#ifdef KESTRUNE_VECTOR_AES
    vectorized_ = generator == Generator::Fastest && vectorAesAvailable();
#else
    (void)generator;
#endif
}

RandomStream::~RandomStream() {
    clearSecret(key_.data(), key_.size());
    clearSecret(iv_.data(), iv_.size());
    clearSecret(schedule_.data(), schedule_.size());
}

bool RandomStream::setKey() {
    lane_->forget();
#ifdef KESTRUNE_VECTOR_AES
    if (vectorized_)
        expandKey(key_.data(), schedule_.data());
#endif
    return restart();
}

bool RandomStream::rekey() {
    keyed_ = lane_->ready() && systemRandom(key_.data(), key_.size()) &&
             systemRandom(iv_.data(), iv_.size());
    return keyed_ && setKey();
}

bool RandomStream::rekey(const uint8_t (&key)[32], const uint8_t (&iv)[16]) {
    std::memcpy(key_.data(), key, key_.size());
    std::memcpy(iv_.data(), iv, iv_.size());
    keyed_ = lane_->ready();
    return keyed_ && setKey();
}

bool RandomStream::restart() {
    if (!keyed_)
        return false;
    position_ = 0;
    return true;
}

bool RandomStream::fillLane(uint8_t* out, size_t length, uint64_t position) {
    return lane_->generate(key_, iv_, position, out, length);
}

bool RandomStream::fillAt(uint8_t* out, size_t length, uint64_t position) {
    if (!keyed_)
        return false;
#ifdef KESTRUNE_VECTOR_AES
    if (vectorized_) {
        // Whole blocks go through the vector path; a partial block at either end, and the
        // rare run over which the low half of the counter wraps, through the library.
        size_t head = std::min(length, (kCipherBlock - position % kCipherBlock) % kCipherBlock);
        if (head > 0 && !fillLane(out, head, position))
            return false;
        out += head;
        length -= head;
        position += head;
        const size_t groups = length / kGroupBytes;
        if (groups > 0) {
            std::array<uint8_t, 16> counter = counterAt(iv_, position / kCipherBlock);
            const uint64_t hi = bigEndian64(counter.data());
            const uint64_t lo = bigEndian64(counter.data() + 8);
            if (groups * kGroupBlocks - 1 <= UINT64_MAX - lo) {
                vectorCtr(schedule_.data(), hi, lo, out, groups);
                out += groups * kGroupBytes;
                length -= groups * kGroupBytes;
                position += groups * kGroupBytes;
            }
        }
        return length == 0 || fillLane(out, length, position);
    }
#endif
    return fillLane(out, length, position);
}

bool RandomStream::fill(uint8_t* out, size_t length) {
    if (!fillAt(out, length, position_))
        return false;
    position_ += length;
    return true;
}

} // namespace kestrune::engine
