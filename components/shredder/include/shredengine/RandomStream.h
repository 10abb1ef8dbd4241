// A keyed pseudo-random byte stream (AES-256-CTR) that can be replayed from its start,
// so a random pass can be verified without keeping what was written.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>

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
    // The next length bytes of the stream. Long runs are shared with a second thread,
    // since one core generates more slowly than a fast medium takes the data.
    bool fill(uint8_t* out, size_t length);
    // Bytes [position, position + length) of the stream, whatever the current position;
    // leaves the current position alone.
    bool fillAt(uint8_t* out, size_t length, uint64_t position);

    // Runs shorter than this stay on the calling thread.
    static constexpr size_t kSplitThreshold = 512u << 10;

private:
    struct Lane;
    struct Helper;
    bool fillLane(Lane& lane, uint8_t* out, size_t length, uint64_t position);

    std::array<uint8_t, 32> key_{};
    std::array<uint8_t, 16> iv_{};
    bool keyed_ = false;
    uint64_t position_ = 0;
    std::unique_ptr<Lane> lanes_[2];
    std::unique_ptr<Helper> helper_;
};

} // namespace kestrune::engine
