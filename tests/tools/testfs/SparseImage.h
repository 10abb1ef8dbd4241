#pragma once

#include "TestFsOptions.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <shared_mutex>
#include <unordered_map>

namespace kestrune::testfs {

// The image's contents in memory, stored per chunk on first non-zero write so a huge
// claimed size costs nothing. Offsets past the usable bytes wrap onto the start (offset
// o >= usable lands on (o - usable + wrapOffset) mod usable) or vanish; or only the last
// usable bytes of the claimed size are kept, the way counterfeit controllers map them.
class SparseImage {
public:
    SparseImage(std::uint64_t usable, PastUsable pastUsable, std::uint64_t claimed = 0,
                std::uint64_t wrapOffset = 0);

    // Throws std::bad_alloc when memory for a new chunk runs out.
    void write(const char* data, std::size_t length, std::uint64_t offset);
    void read(char* data, std::size_t length, std::uint64_t offset) const;
    std::uint64_t storedBytes() const;

    static constexpr std::size_t chunkSize = 64 * 1024;

private:
    template <typename Piece>
    void forEachPiece(std::size_t length, std::uint64_t offset, Piece piece) const;

    const std::uint64_t usable_;
    const PastUsable pastUsable_;
    const std::uint64_t claimed_;
    const std::uint64_t wrapOffset_;
    mutable std::shared_mutex mutex_;
    std::unordered_map<std::uint64_t, std::unique_ptr<char[]>> chunks_;
};

} // namespace kestrune::testfs
