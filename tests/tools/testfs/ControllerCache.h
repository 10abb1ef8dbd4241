#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <list>
#include <mutex>
#include <unordered_map>

namespace kestrune::testfs {

// The write-back cache of a counterfeit stick's controller: the last bytes written, kept
// per sector in memory and served back to reads, whatever the storage behind does with
// them once they leave the cache (drop them, or let them land on other places). Flushes
// are ignored, as cheap controllers do. Only whole sectors are kept.
class ControllerCache {
public:
    // Where sectors go when the cache lets them go, oldest first.
    using Store = std::function<void(const char* data, std::size_t length, std::uint64_t offset)>;

    // Rounded down to whole sectors; 0 keeps nothing and stores every write at once.
    // Segmented: a sector served to a read moves to a protected part (half the cache) that
    // only reads refresh, so writes never evict it.
    explicit ControllerCache(std::uint64_t bytes, bool segmented = false);

    // Keeps the whole sectors of the write, storing the oldest ones that no longer fit;
    // a part of a sector is stored at once, after the sector's cached version.
    void write(const char* data, std::size_t length, std::uint64_t offset, const Store& store);
    // After the storage answered a read: the sectors still kept replace what it said.
    void overlay(char* data, std::size_t length, std::uint64_t offset) const;
    // A read was served: a segmented cache protects the sectors it kept of it.
    void served(std::uint64_t offset, std::size_t length);
    // The whole sectors of the range are no longer kept, and not stored either; parts of
    // sectors are stored first, as the write that covers the range will land over them.
    void forget(std::uint64_t offset, std::size_t length, const Store& store);
    std::uint64_t keptBytes() const;

    static constexpr std::size_t sectorSize = 512;

private:
    struct Sector {
        std::uint64_t index;
        std::array<char, sectorSize> bytes;
        bool protectedByRead = false;
    };
    void keep(std::uint64_t index, const char* bytes, const Store& store);
    void release(std::uint64_t index, const Store& store);

    const std::uint64_t capacity_; // in sectors
    const bool segmented_;
    mutable std::mutex mutex_;
    std::list<Sector> order_;     // the oldest write first
    std::list<Sector> protected_; // the oldest read first
    std::unordered_map<std::uint64_t, std::list<Sector>::iterator> sectors_;
};

} // namespace kestrune::testfs
