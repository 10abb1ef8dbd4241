// A keyed pseudo-random byte stream (AES-256-CTR) that can be replayed from its start,
// so a random pass can be verified without keeping what was written.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>

namespace kestrune::engine {

// Fills buf with bytes from the system's random source; false when it cannot.
bool systemRandom(void* buf, size_t length);

class RandomStream {
public:
    // Fastest: the wide vector instructions where the processor has them, else the
    // platform's cryptography library. Library: that library alone.
    enum class Generator { Fastest, Library };

    explicit RandomStream(Generator generator = Generator::Fastest);
    ~RandomStream();
    RandomStream(const RandomStream&) = delete;
    RandomStream& operator=(const RandomStream&) = delete;

    // A fresh key and counter from the system; false when no randomness is available.
    bool rekey();
    // A given key and initial counter block (big-endian), for a stream known in advance.
    bool rekey(const uint8_t (&key)[32], const uint8_t (&iv)[16]);
    // Back to the first byte of the current key's stream.
    bool restart();
    // The next length bytes of the stream.
    bool fill(uint8_t* out, size_t length);
    // Bytes [position, position + length) of the stream, whatever the current position;
    // leaves the current position alone.
    bool fillAt(uint8_t* out, size_t length, uint64_t position);

    // Whether the wide vector instructions generate the stream (else the library does).
    bool vectorized() const { return vectorized_; }

private:
    struct Lane;
    bool fillLane(uint8_t* out, size_t length, uint64_t position);
    bool setKey();

    std::array<uint8_t, 32> key_{};
    std::array<uint8_t, 16> iv_{};
    bool keyed_ = false;
    uint64_t position_ = 0;
    std::unique_ptr<Lane> lane_;
    bool vectorized_ = false;
    alignas(64) std::array<uint8_t, 15 * 16> schedule_{}; // round keys of the vector path
};

} // namespace kestrune::engine
