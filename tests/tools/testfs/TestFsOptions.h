#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kestrune::testfs {

enum class PastUsable { Wrap, Drop, KeepEnd };
enum class FlashOrder { ByAddress, Drop, Reuse };
enum class BadBlock { None, Fails, Lies };
enum class StallWhat { Reads, Writes, All };

struct TestFsOptions {
    std::string mountPoint;
    std::string fileName;
    std::uint64_t size = 0;
    // Bytes that really exist; the whole size unless a counterfeit is asked for, 0 for one
    // that keeps nothing at all.
    std::uint64_t usable = 0;
    PastUsable pastUsable = PastUsable::Wrap;
    std::uint64_t wrapOffset = 0;
    // Flash handed to each 4 KiB block on its first write, whatever its address; once it
    // is used up, new blocks are dropped or take the flash written longest ago.
    FlashOrder flashOrder = FlashOrder::ByAddress;
    // Writes of up to 16 KiB kept in a log that serves reads until a large write covers them.
    std::uint64_t smallWriteLog = 0;
    // The controller's write cache: the last bytes written are read back from memory.
    std::uint64_t cache = 0;
    // A sector the cache served a read for moves to a part of it only reads refresh.
    bool readProtect = false;
    BadBlock badBlock = BadBlock::None;
    std::uint64_t badBlockAt = 0; // its 4 KiB
    // What a request costs that does not go on where the last one of its kind ended.
    std::uint64_t scatteredWriteMicros = 0;
    std::uint64_t scatteredReadMicros = 0;
    std::uint64_t rate = 0;
    std::string stallFlag;
    StallWhat stallWhat = StallWhat::All;
    bool directIo = false;
    bool allowOther = false;
};

// Arguments without the program name. Returns an empty string, or why they are wrong.
std::string parseOptions(const std::vector<std::string>& arguments, TestFsOptions& options);

const char* usageText();

} // namespace kestrune::testfs
