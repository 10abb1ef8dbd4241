// The stream's cipher and randomness from OpenSSL and the kernel.
#include "CipherLane.h"

#include <cerrno>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <sys/random.h>

namespace kestrune::engine {

namespace {
// Encrypting from a small source that stays in cache is faster than clearing the output.
constexpr size_t kZeroChunk = 64 * 1024;
const uint8_t kZeros[kZeroChunk] = {};
constexpr size_t kCipherBlock = 16;
} // namespace

// The library's cipher context and where in the stream it stands, so that the next
// fill carries on without setting the cipher up again.
struct RandomStream::Lane::State {
    State() : ctx(EVP_CIPHER_CTX_new()) {}
    ~State() { EVP_CIPHER_CTX_free(ctx); }
    State(const State&) = delete;
    State& operator=(const State&) = delete;
    EVP_CIPHER_CTX* ctx;
    bool positioned = false;
    uint64_t position = 0;
};

RandomStream::Lane::Lane() : state(std::make_unique<State>()) {}

RandomStream::Lane::~Lane() = default;

bool RandomStream::Lane::ready() const {
    return state->ctx != nullptr;
}

void RandomStream::Lane::forget() {
    state->positioned = false;
}

bool RandomStream::Lane::generate(const std::array<uint8_t, 32>& key,
                                  const std::array<uint8_t, 16>& iv, uint64_t position,
                                  uint8_t* out, size_t length) {
    State& lane = *state;
    if (!lane.positioned || lane.position != position) {
        std::array<uint8_t, 16> counter = counterAt(iv, position / kCipherBlock);
        if (EVP_EncryptInit_ex(lane.ctx, EVP_aes_256_ctr(), nullptr, key.data(), counter.data()) !=
            1)
            return false;
        lane.positioned = true;
        lane.position = position - position % kCipherBlock;
        if (size_t skip = position % kCipherBlock) {
            uint8_t discard[kCipherBlock];
            int written = 0;
            if (EVP_EncryptUpdate(lane.ctx, discard, &written, kZeros, static_cast<int>(skip)) != 1)
                return false;
            lane.position += skip;
        }
    }
    while (length > 0) {
        size_t chunk = length < kZeroChunk ? length : kZeroChunk;
        int written = 0;
        if (EVP_EncryptUpdate(lane.ctx, out, &written, kZeros, static_cast<int>(chunk)) != 1 ||
            static_cast<size_t>(written) != chunk) {
            lane.positioned = false;
            return false;
        }
        out += chunk;
        length -= chunk;
        lane.position += chunk;
    }
    return true;
}

void clearSecret(void* data, size_t length) {
    OPENSSL_cleanse(data, length);
}

bool systemRandom(void* buf, size_t length) {
    auto* out = static_cast<uint8_t*>(buf);
    while (length > 0) {
        ssize_t n = getrandom(out, length, 0);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        out += n;
        length -= static_cast<size_t>(n);
    }
    return true;
}

} // namespace kestrune::engine
