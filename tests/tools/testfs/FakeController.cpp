#include "FakeController.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace kestrune::testfs {

namespace {

SparseImage makeImage(const TestFsOptions& o) {
    // In write order, flash is a plain array the map points into.
    if (o.flashOrder != FlashOrder::ByAddress)
        return SparseImage(o.usable, PastUsable::Drop);
    return SparseImage(o.usable, o.pastUsable, o.size, o.wrapOffset);
}

} // namespace

FakeController::FakeController(const TestFsOptions& options)
    : options_(options), image_(makeImage(options)), cache_(options.cache, options.readProtect),
      log_(options.smallWriteLog) {}

std::uint64_t FakeController::slotOf(std::uint64_t block, bool writing) {
    const auto found = slots_.find(block);
    if (found != slots_.end()) {
        if (writing)
            writtenOrder_.splice(writtenOrder_.end(), writtenOrder_, found->second.written);
        return found->second.slot;
    }
    if (!writing)
        return UINT64_MAX;
    std::uint64_t slot = nextSlot_;
    if (nextSlot_ < options_.usable / flashBlock) {
        ++nextSlot_;
    } else if (options_.flashOrder == FlashOrder::Drop || writtenOrder_.empty()) {
        return UINT64_MAX;
    } else {
        const auto oldest = slots_.find(writtenOrder_.front());
        slot = oldest->second.slot;
        writtenOrder_.pop_front();
        slots_.erase(oldest);
    }
    writtenOrder_.push_back(block);
    slots_.emplace(block, Slot{slot, std::prev(writtenOrder_.end())});
    return slot;
}

// Each run of bytes within one flash block, with the slot that block has (UINT64_MAX: none).
template <typename Fn>
void FakeController::eachFlashRun(std::size_t length, std::uint64_t offset, bool writing, Fn&& fn) {
    std::lock_guard lock(flashMutex_);
    for (std::size_t done = 0; done < length;) {
        const std::uint64_t at = offset + done;
        const std::size_t run = std::min(length - done, flashBlock - at % flashBlock);
        const std::uint64_t slot = slotOf(at / flashBlock, writing);
        fn(done, run, slot == UINT64_MAX ? slot : slot * flashBlock + at % flashBlock);
        done += run;
    }
}

void FakeController::store(const char* data, std::size_t length, std::uint64_t offset) {
    if (options_.flashOrder == FlashOrder::ByAddress) {
        image_.write(data, length, offset);
        return;
    }
    eachFlashRun(length, offset, true, [&](std::size_t done, std::size_t run, std::uint64_t at) {
        if (at != UINT64_MAX)
            image_.write(data + done, run, at);
    });
}

void FakeController::load(char* data, std::size_t length, std::uint64_t offset) {
    if (options_.flashOrder == FlashOrder::ByAddress) {
        image_.read(data, length, offset);
        return;
    }
    eachFlashRun(length, offset, false, [&](std::size_t done, std::size_t run, std::uint64_t at) {
        if (at == UINT64_MAX)
            std::memset(data + done, 0, run);
        else
            image_.read(data + done, run, at);
    });
}

int FakeController::write(const char* data, std::size_t length, std::uint64_t offset) {
    const ControllerCache::Store toFlash = [this](const char* bytes, std::size_t count,
                                                  std::uint64_t at) { store(bytes, count, at); };
    const ControllerCache::Store toCache = [&](const char* bytes, std::size_t count,
                                               std::uint64_t at) {
        cache_.write(bytes, count, at, toFlash);
    };
    if (options_.smallWriteLog != 0 && length <= smallWrite) {
        log_.write(data, length, offset, toCache);
        return 0;
    }
    log_.forget(offset, length, toCache);
    cache_.write(data, length, offset, toFlash);
    return 0;
}

int FakeController::read(char* data, std::size_t length, std::uint64_t offset) {
    const std::uint64_t bad = options_.badBlockAt - options_.badBlockAt % flashBlock;
    const bool hitsBad =
        options_.badBlock != BadBlock::None && offset < bad + flashBlock && bad < offset + length;
    if (hitsBad && options_.badBlock == BadBlock::Fails)
        return EIO;
    load(data, length, offset);
    cache_.overlay(data, length, offset);
    cache_.served(offset, length);
    log_.overlay(data, length, offset);
    if (hitsBad) {
        const std::uint64_t from = std::max(bad, offset);
        const std::uint64_t to = std::min(bad + flashBlock, offset + length);
        std::memset(data + (from - offset), 0x6B, static_cast<std::size_t>(to - from));
    }
    return 0;
}

} // namespace kestrune::testfs
