// A keyed pseudo-random byte stream (AES-256-CTR) that can be replayed from its start,
// so a random pass can be verified without keeping what was written.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

typedef struct evp_cipher_ctx_st EVP_CIPHER_CTX;

namespace kestrune::engine {

// Fills buf with bytes from the kernel's random source; false when it cannot.
bool systemRandom(void* buf, size_t length);

class RandomStream {
public:
    RandomStream();
    ~RandomStream();
    RandomStream(const RandomStream&) = delete;
    RandomStream& operator=(const RandomStream&) = delete;

    // A fresh key and counter from the kernel; false when no randomness is available.
    bool rekey();
    // Back to the first byte of the current key's stream.
    bool restart();
    // The next length bytes of the stream.
    bool fill(uint8_t* out, size_t length);

private:
    EVP_CIPHER_CTX* ctx_;
    std::array<uint8_t, 32> key_{};
    std::array<uint8_t, 16> iv_{};
    bool keyed_ = false;
};

} // namespace kestrune::engine
