#pragma once

#include "TestFsOptions.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <shared_mutex>
#include <unordered_map>

namespace kestrune::testfs {

// The image's contents in memory, stored per chunk on first non-zero write so a huge
// claimed size costs nothing. Offsets past the usable bytes wrap onto the start or
// vanish, the way a counterfeit stick's controller maps them.
class SparseImage {
public:
    SparseImage(std::uint64_t usable, PastUsable pastUsable);

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
    mutable std::shared_mutex mutex_;
    std::unordered_map<std::uint64_t, std::unique_ptr<char[]>> chunks_;
};

} // namespace kestrune::testfs
