#include "SparseImage.h"

#include <algorithm>
#include <cstring>
#include <mutex>

namespace kestrune::testfs {

namespace {

bool allZero(const char* data, std::size_t length) {
    return std::all_of(data, data + length, [](char c) { return c == 0; });
}

} // namespace

SparseImage::SparseImage(std::uint64_t usable, PastUsable pastUsable, std::uint64_t claimed,
                         std::uint64_t wrapOffset)
    : usable_(usable), pastUsable_(pastUsable), claimed_(claimed),
      wrapOffset_(usable ? wrapOffset % usable : 0) {}

// Calls piece(position in the request, chunk index, offset in the chunk, length) for each
// run inside one chunk of real storage; a chunk index of UINT64_MAX marks a dropped run.
template <typename Piece>
void SparseImage::forEachPiece(std::size_t length, std::uint64_t offset, Piece piece) const {
    std::size_t done = 0;
    while (done < length) {
        const std::uint64_t claimed = offset + done;
        std::size_t run = length - done;
        if (claimed >= usable_ && pastUsable_ == PastUsable::Drop) {
            piece(done, UINT64_MAX, 0, run);
            return;
        }
        std::uint64_t real = claimed;
        if (pastUsable_ == PastUsable::KeepEnd) {
            const std::uint64_t lost = claimed_ - usable_;
            if (claimed < lost) {
                run = static_cast<std::size_t>(std::min<std::uint64_t>(run, lost - claimed));
                piece(done, UINT64_MAX, 0, run);
                done += run;
                continue;
            }
            real = claimed - lost;
        } else if (claimed >= usable_) {
            real = (claimed - usable_ + wrapOffset_) % usable_;
        }
        const std::uint64_t inChunk = real % chunkSize;
        run = static_cast<std::size_t>(
            std::min<std::uint64_t>({run, usable_ - real, chunkSize - inChunk}));
        if (claimed < usable_)
            run = static_cast<std::size_t>(std::min<std::uint64_t>(run, usable_ - claimed));
        piece(done, real / chunkSize, static_cast<std::size_t>(inChunk), run);
        done += run;
    }
}

void SparseImage::write(const char* data, std::size_t length, std::uint64_t offset) {
    std::unique_lock lock(mutex_);
    forEachPiece(length, offset,
                 [&](std::size_t at, std::uint64_t chunk, std::size_t inChunk, std::size_t run) {
                     if (chunk == UINT64_MAX)
                         return;
                     auto found = chunks_.find(chunk);
                     if (found == chunks_.end()) {
                         if (allZero(data + at, run))
                             return;
                         found = chunks_.emplace(chunk, std::make_unique<char[]>(chunkSize)).first;
                     }
                     std::memcpy(found->second.get() + inChunk, data + at, run);
                 });
}

void SparseImage::read(char* data, std::size_t length, std::uint64_t offset) const {
    std::shared_lock lock(mutex_);
    forEachPiece(length, offset,
                 [&](std::size_t at, std::uint64_t chunk, std::size_t inChunk, std::size_t run) {
                     const auto found = chunk == UINT64_MAX ? chunks_.end() : chunks_.find(chunk);
                     if (found == chunks_.end())
                         std::memset(data + at, 0, run);
                     else
                         std::memcpy(data + at, found->second.get() + inChunk, run);
                 });
}

std::uint64_t SparseImage::storedBytes() const {
    std::shared_lock lock(mutex_);
    return chunks_.size() * std::uint64_t{chunkSize};
}

} // namespace kestrune::testfs
