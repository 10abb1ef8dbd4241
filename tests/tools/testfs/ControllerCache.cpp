#include "ControllerCache.h"

#include <algorithm>
#include <cstring>

namespace kestrune::testfs {

ControllerCache::ControllerCache(std::uint64_t bytes, bool segmented)
    : capacity_(bytes / sectorSize), segmented_(segmented) {}

void ControllerCache::keep(std::uint64_t index, const char* bytes, const Store& store) {
    auto found = sectors_.find(index);
    if (found != sectors_.end()) {
        // Written again: now the most recent, unless a read protects it.
        if (!found->second->protectedByRead)
            order_.splice(order_.end(), order_, found->second);
    } else {
        if (sectors_.size() == capacity_)
            release((order_.empty() ? protected_ : order_).front().index, store);
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
    (found->second->protectedByRead ? protected_ : order_).erase(found->second);
    sectors_.erase(found);
}

void ControllerCache::served(std::uint64_t offset, std::size_t length) {
    if (!segmented_ || length == 0)
        return;
    std::lock_guard lock(mutex_);
    for (std::uint64_t index = offset / sectorSize; index * sectorSize < offset + length; ++index) {
        const auto found = sectors_.find(index);
        if (found == sectors_.end())
            continue;
        auto& from = found->second->protectedByRead ? protected_ : order_;
        found->second->protectedByRead = true;
        protected_.splice(protected_.end(), from, found->second);
        if (protected_.size() > capacity_ / 2) {
            // The protected sector read longest ago goes back among the written ones.
            protected_.front().protectedByRead = false;
            order_.splice(order_.end(), protected_, protected_.begin());
        }
    }
}

void ControllerCache::forget(std::uint64_t offset, std::size_t length, const Store& store) {
    if (capacity_ == 0 || length == 0)
        return;
    std::lock_guard lock(mutex_);
    for (std::uint64_t index = offset / sectorSize; index * sectorSize < offset + length; ++index) {
        const auto found = sectors_.find(index);
        if (found == sectors_.end())
            continue;
        if (index * sectorSize < offset || (index + 1) * sectorSize > offset + length) {
            release(index, store);
            continue;
        }
        (found->second->protectedByRead ? protected_ : order_).erase(found->second);
        sectors_.erase(found);
    }
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
