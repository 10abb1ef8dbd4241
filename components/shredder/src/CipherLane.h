// The platform's own AES-256-CTR, behind the random stream: its cryptography library
// generates what the vector instructions do not.
#pragma once

#include "shredengine/RandomStream.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>

namespace kestrune::engine {

struct RandomStream::Lane {
    Lane();
    ~Lane();
    Lane(const Lane&) = delete;
    Lane& operator=(const Lane&) = delete;

    // False when the library could not set up the cipher.
    bool ready() const;
    // The key or the counter block changed: nothing prepared for the old ones is used again.
    void forget();
    // Bytes [position, position + length) of the key stream of key and iv.
    bool generate(const std::array<uint8_t, 32>& key, const std::array<uint8_t, 16>& iv,
                  uint64_t position, uint8_t* out, size_t length);

    struct State;
    std::unique_ptr<State> state;
};

// The counter block for the given block of the stream: the IV as a 128-bit big-endian
// number plus the block index, as the cipher's own counter advances.
std::array<uint8_t, 16> counterAt(const std::array<uint8_t, 16>& iv, uint64_t block);

// Overwrites secret bytes in a way the compiler may not leave out.
void clearSecret(void* data, size_t length);

} // namespace kestrune::engine
