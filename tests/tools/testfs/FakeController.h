#pragma once

#include "ControllerCache.h"
#include "SparseImage.h"
#include "TestFsOptions.h"

#include <cstddef>
#include <cstdint>
#include <list>
#include <mutex>
#include <unordered_map>

namespace kestrune::testfs {

// A stick's controller as the options describe it, from the host's side down: a log of
// small writes, a write cache, then the flash, reached by address or handed out in write
// order. One bad block may fail its reads or answer with other bytes.
class FakeController {
public:
    explicit FakeController(const TestFsOptions& options);

    // 0 or an errno value; throws std::bad_alloc when memory for the image runs out.
    int write(const char* data, std::size_t length, std::uint64_t offset);
    int read(char* data, std::size_t length, std::uint64_t offset);
    std::uint64_t storedBytes() const { return image_.storedBytes(); }

    static constexpr std::size_t flashBlock = 4096;
    static constexpr std::size_t smallWrite = 16 * 1024;

private:
    void store(const char* data, std::size_t length, std::uint64_t offset);
    void load(char* data, std::size_t length, std::uint64_t offset);
    // The flash of a block in write order, or UINT64_MAX where it has none.
    std::uint64_t slotOf(std::uint64_t block, bool writing);
    template <typename Fn>
    void eachFlashRun(std::size_t length, std::uint64_t offset, bool writing, Fn&& fn);

    const TestFsOptions options_;
    SparseImage image_;
    ControllerCache cache_;
    ControllerCache log_;
    std::mutex flashMutex_;
    std::uint64_t nextSlot_ = 0;
    std::list<std::uint64_t> writtenOrder_; // blocks with flash, the one written longest ago first
    struct Slot {
        std::uint64_t slot;
        std::list<std::uint64_t>::iterator written;
    };
    std::unordered_map<std::uint64_t, Slot> slots_;
};

} // namespace kestrune::testfs
