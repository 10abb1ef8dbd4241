// The stream's cipher and randomness from the system's cryptography (CNG). CNG offers no
// counter mode; encrypting the counter blocks one by one (ECB) is what that mode does.
#include "CipherLane.h"

#include <windows.h>

#include <algorithm>
#include <bcrypt.h>

namespace kestrune::engine {

namespace {
constexpr size_t kCipherBlock = 16;
// Counter blocks handed to one call: enough that the call's own cost vanishes.
constexpr size_t kBlocksPerCall = 1u << 16;

bool succeeded(NTSTATUS status) {
    return status >= 0;
}

void storeBigEndian(uint8_t* p, uint64_t value) {
    for (int i = 7; i >= 0; --i) {
        p[i] = static_cast<uint8_t>(value);
        value >>= 8;
    }
}

uint64_t loadBigEndian(const uint8_t* p) {
    uint64_t value = 0;
    for (int i = 0; i < 8; ++i)
        value = (value << 8) | p[i];
    return value;
}
} // namespace

// The cipher of the system's provider, and the key made from the stream's key on first use.
struct RandomStream::Lane::State {
    State() = default;
    ~State() {
        if (key)
            BCryptDestroyKey(key);
        if (algorithm)
            BCryptCloseAlgorithmProvider(algorithm, 0);
    }
    State(const State&) = delete;
    State& operator=(const State&) = delete;

    // Key stream for count blocks from the given one, in place of out.
    bool encryptCounters(const std::array<uint8_t, 16>& iv, uint64_t block, uint8_t* out,
                         size_t count) {
        const std::array<uint8_t, 16> first = counterAt(iv, block);
        uint64_t high = loadBigEndian(first.data());
        uint64_t low = loadBigEndian(first.data() + 8);
        for (size_t i = 0; i < count; ++i) {
            storeBigEndian(out + i * kCipherBlock, high);
            storeBigEndian(out + i * kCipherBlock + 8, low);
            if (++low == 0)
                ++high; // the whole 128 bits count on, and wrap at their end
        }
        const auto bytes = static_cast<ULONG>(count * kCipherBlock);
        ULONG written = 0;
        return succeeded(
                   BCryptEncrypt(key, out, bytes, nullptr, nullptr, 0, out, bytes, &written, 0)) &&
               written == bytes;
    }

    BCRYPT_ALG_HANDLE algorithm = nullptr;
    BCRYPT_KEY_HANDLE key = nullptr;
};

RandomStream::Lane::Lane() : state(std::make_unique<State>()) {
    BCRYPT_ALG_HANDLE algorithm = nullptr;
    if (!succeeded(BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_AES_ALGORITHM, nullptr, 0)))
        return;
    static const wchar_t kEcb[] = BCRYPT_CHAIN_MODE_ECB;
    if (succeeded(BCryptSetProperty(algorithm, BCRYPT_CHAINING_MODE,
                                    reinterpret_cast<PUCHAR>(const_cast<wchar_t*>(kEcb)),
                                    sizeof kEcb, 0)))
        state->algorithm = algorithm;
    else
        BCryptCloseAlgorithmProvider(algorithm, 0);
}

RandomStream::Lane::~Lane() = default;

bool RandomStream::Lane::ready() const {
    return state->algorithm != nullptr;
}

void RandomStream::Lane::forget() {
    if (state->key)
        BCryptDestroyKey(state->key);
    state->key = nullptr;
}

bool RandomStream::Lane::generate(const std::array<uint8_t, 32>& key,
                                  const std::array<uint8_t, 16>& iv, uint64_t position,
                                  uint8_t* out, size_t length) {
    if (!state->algorithm)
        return false;
    if (!state->key) {
        // The provider copies the key into an object of its own, which forget() destroys.
        std::array<uint8_t, 32> material = key;
        const bool made = succeeded(
            BCryptGenerateSymmetricKey(state->algorithm, &state->key, nullptr, 0, material.data(),
                                       static_cast<ULONG>(material.size()), 0));
        clearSecret(material.data(), material.size());
        if (!made) {
            state->key = nullptr;
            return false;
        }
    }
    uint64_t block = position / kCipherBlock;
    // A block cut by either end of the range is made whole aside.
    uint8_t piece[kCipherBlock];
    if (const size_t skip = position % kCipherBlock; skip != 0 && length > 0) {
        if (!state->encryptCounters(iv, block, piece, 1))
            return false;
        const size_t take = std::min(kCipherBlock - skip, length);
        std::copy(piece + skip, piece + skip + take, out);
        out += take;
        length -= take;
        ++block;
    }
    for (size_t blocks = length / kCipherBlock; blocks > 0;) {
        const size_t count = std::min(blocks, kBlocksPerCall);
        if (!state->encryptCounters(iv, block, out, count))
            return false;
        out += count * kCipherBlock;
        length -= count * kCipherBlock;
        block += count;
        blocks -= count;
    }
    if (length > 0) {
        if (!state->encryptCounters(iv, block, piece, 1))
            return false;
        std::copy(piece, piece + length, out);
    }
    return true;
}

void clearSecret(void* data, size_t length) {
    SecureZeroMemory(data, length);
}

bool systemRandom(void* buf, size_t length) {
    auto* out = static_cast<uint8_t*>(buf);
    while (length > 0) {
        const ULONG chunk = static_cast<ULONG>(std::min<size_t>(length, 1u << 30));
        if (!succeeded(BCryptGenRandom(nullptr, out, chunk, BCRYPT_USE_SYSTEM_PREFERRED_RNG)))
            return false;
        out += chunk;
        length -= chunk;
    }
    return true;
}

} // namespace kestrune::engine
