#include "TestFsOptions.h"

#include <charconv>

namespace kestrune::testfs {

namespace {

bool parseBytes(const std::string& text, std::uint64_t& value, bool zeroAllowed = false) {
    const char* end = text.data() + text.size();
    const auto result = std::from_chars(text.data(), end, value);
    return !text.empty() && result.ec == std::errc() && result.ptr == end &&
           (value > 0 || zeroAllowed);
}

} // namespace

const char* usageText() {
    return "usage: kestrune-testfs MOUNTPOINT --file NAME --size BYTES\n"
           "         [--usable BYTES [--past-usable wrap|drop|end] [--wrap-offset BYTES]\n"
           "          [--flash-order drop|reuse] | --keep-nothing]\n"
           "         [--cache BYTES [--read-protect]] [--small-write-log BYTES]\n"
           "         [--bad-block OFFSET --bad-block-kind fails|lies]\n"
           "         [--rate BYTES_PER_SECOND] [--scattered-cost WRITE_US,READ_US]\n"
           "         [--stall-flag PATH [--stall-what reads|writes|all]] [--direct-io]\n"
           "         [--allow-other]\n";
}

std::string parseOptions(const std::vector<std::string>& arguments, TestFsOptions& options) {
    bool pastUsableGiven = false;
    bool stallWhatGiven = false;
    bool keepNothing = false;
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        const std::string& name = arguments[i];
        if (name == "--direct-io") {
            options.directIo = true;
            continue;
        }
        if (name == "--keep-nothing") {
            keepNothing = true;
            continue;
        }
        if (name == "--allow-other") {
            options.allowOther = true;
            continue;
        }
        if (name == "--read-protect") {
            options.readProtect = true;
            continue;
        }
        if (name.rfind("--", 0) != 0) {
            if (!options.mountPoint.empty())
                return "only one mount point can be given, not also '" + name + "'";
            options.mountPoint = name;
            continue;
        }
        if (i + 1 == arguments.size())
            return name + " needs a value";
        const std::string& value = arguments[++i];
        if (name == "--file") {
            if (value.empty() || value == "." || value == ".." ||
                value.find('/') != std::string::npos)
                return "--file needs a plain file name, not '" + value + "'";
            options.fileName = value;
        } else if (name == "--size" || name == "--usable" || name == "--rate" ||
                   name == "--cache") {
            std::uint64_t& target = name == "--size"     ? options.size
                                    : name == "--usable" ? options.usable
                                    : name == "--rate"   ? options.rate
                                                         : options.cache;
            if (!parseBytes(value, target))
                return name + " needs a positive whole number of bytes, not '" + value + "'";
        } else if (name == "--wrap-offset" || name == "--bad-block") {
            if (!parseBytes(value, name == "--bad-block" ? options.badBlockAt : options.wrapOffset,
                            true))
                return name + " needs a whole number of bytes, not '" + value + "'";
            if (name == "--bad-block" && options.badBlock == BadBlock::None)
                options.badBlock = BadBlock::Fails;
        } else if (name == "--small-write-log") {
            if (!parseBytes(value, options.smallWriteLog))
                return name + " needs a positive whole number of bytes, not '" + value + "'";
        } else if (name == "--bad-block-kind") {
            if (value != "fails" && value != "lies")
                return "--bad-block-kind is fails or lies, not '" + value + "'";
            options.badBlock = value == "fails" ? BadBlock::Fails : BadBlock::Lies;
        } else if (name == "--flash-order") {
            if (value != "drop" && value != "reuse")
                return "--flash-order is drop or reuse, not '" + value + "'";
            options.flashOrder = value == "drop" ? FlashOrder::Drop : FlashOrder::Reuse;
        } else if (name == "--scattered-cost") {
            const auto comma = value.find(',');
            if (comma == std::string::npos ||
                !parseBytes(value.substr(0, comma), options.scatteredWriteMicros, true) ||
                !parseBytes(value.substr(comma + 1), options.scatteredReadMicros, true))
                return "--scattered-cost needs WRITE_US,READ_US, not '" + value + "'";
        } else if (name == "--past-usable") {
            if (value != "wrap" && value != "drop" && value != "end")
                return "--past-usable is wrap, drop or end, not '" + value + "'";
            options.pastUsable = value == "wrap"   ? PastUsable::Wrap
                                 : value == "drop" ? PastUsable::Drop
                                                   : PastUsable::KeepEnd;
            pastUsableGiven = true;
        } else if (name == "--stall-flag") {
            if (value.empty())
                return "--stall-flag needs a path";
            options.stallFlag = value;
        } else if (name == "--stall-what") {
            if (value == "reads")
                options.stallWhat = StallWhat::Reads;
            else if (value == "writes")
                options.stallWhat = StallWhat::Writes;
            else if (value == "all")
                options.stallWhat = StallWhat::All;
            else
                return "--stall-what is reads, writes or all, not '" + value + "'";
            stallWhatGiven = true;
        } else {
            return "unknown option " + name;
        }
    }
    if (options.mountPoint.empty())
        return "the mount point is missing";
    if (options.fileName.empty())
        return "--file is missing";
    if (options.size == 0)
        return "--size is missing";
    if (options.usable > options.size)
        return "--usable cannot be more than --size";
    if ((pastUsableGiven || options.flashOrder != FlashOrder::ByAddress) && options.usable == 0)
        return "--past-usable and --flash-order need --usable";
    if (options.readProtect && options.cache == 0)
        return "--read-protect needs --cache";
    if (keepNothing && options.usable != 0)
        return "--keep-nothing and --usable exclude each other";
    if (stallWhatGiven && options.stallFlag.empty())
        return "--stall-what needs --stall-flag";
    if (keepNothing)
        options.pastUsable = PastUsable::Drop; // every write is lost
    else if (options.usable == 0)
        options.usable = options.size;
    return {};
}

} // namespace kestrune::testfs
