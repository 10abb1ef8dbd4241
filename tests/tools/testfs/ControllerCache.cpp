#include "ControllerCache.h"

#include <algorithm>
#include <cstring>

namespace kestrune::testfs {

ControllerCache::ControllerCache(std::uint64_t bytes) : capacity_(bytes / sectorSize) {}

void ControllerCache::keep(std::uint64_t index, const char* bytes, const Store& store) {
    auto found = sectors_.find(index);
    if (found != sectors_.end()) {
        // Written again: now the most recent.
        order_.splice(order_.end(), order_, found->second);
    } else {
        if (sectors_.size() == capacity_)
            release(order_.front().index, store);
        order_.push_back(Sector{index, {}});
        found = sectors_.emplace(index, std::prev(order_.end())).first;
    }
    std::memcpy(found->second->bytes.data(), bytes, sectorSize);
}

void ControllerCache::release(std::uint64_t index, const Store& store) {
    const auto found = sectors_.find(index);
    if (found == sectors_.end())
        return;
    store(found->second->bytes.data(), sectorSize, index * sectorSize);
    order_.erase(found->second);
    sectors_.erase(found);
}

void ControllerCache::write(const char* data, std::size_t length, std::uint64_t offset,
                            const Store& store) {
    if (capacity_ == 0) {
        store(data, length, offset);
        return;
    }
    std::lock_guard lock(mutex_);
    const std::uint64_t end = offset + length;
    for (std::uint64_t index = offset / sectorSize; index * sectorSize < end; ++index) {
        const std::uint64_t start = index * sectorSize;
        if (start >= offset && start + sectorSize <= end) {
            keep(index, data + (start - offset), store);
            continue;
        }
        const std::uint64_t from = std::max(start, offset);
        const std::uint64_t to = std::min(start + sectorSize, end);
        release(index, store);
        store(data + (from - offset), static_cast<std::size_t>(to - from), from);
    }
}

void ControllerCache::overlay(char* data, std::size_t length, std::uint64_t offset) const {
    if (capacity_ == 0 || length == 0)
        return;
    std::lock_guard lock(mutex_);
    if (sectors_.empty())
        return;
    const std::uint64_t end = offset + length;
    for (std::uint64_t index = offset / sectorSize; index * sectorSize < end; ++index) {
        const auto found = sectors_.find(index);
        if (found == sectors_.end())
            continue;
        const std::uint64_t start = index * sectorSize;
        const std::uint64_t from = std::max(start, offset);
        const std::uint64_t to = std::min(start + sectorSize, end);
        std::memcpy(data + (from - offset), found->second->bytes.data() + (from - start),
                    static_cast<std::size_t>(to - from));
    }
}

std::uint64_t ControllerCache::keptBytes() const {
    std::lock_guard lock(mutex_);
    return sectors_.size() * std::uint64_t{sectorSize};
}

} // namespace kestrune::testfs
