#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kestrune::testfs {

enum class PastUsable { Wrap, Drop };
enum class StallWhat { Reads, Writes, All };

struct TestFsOptions {
    std::string mountPoint;
    std::string fileName;
    std::uint64_t size = 0;
    // Bytes that really exist; the whole size unless a counterfeit is asked for, 0 for one
    // that keeps nothing at all.
    std::uint64_t usable = 0;
    PastUsable pastUsable = PastUsable::Wrap;
    // The controller's write cache: the last bytes written are read back from memory.
    std::uint64_t cache = 0;
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
