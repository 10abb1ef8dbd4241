#include "TestFsOptions.h"

#include <charconv>

namespace kestrune::testfs {

namespace {

bool parseBytes(const std::string& text, std::uint64_t& value) {
    const char* end = text.data() + text.size();
    const auto result = std::from_chars(text.data(), end, value);
    return !text.empty() && result.ec == std::errc() && result.ptr == end && value > 0;
}

} // namespace

const char* usageText() {
    return "usage: kestrune-testfs MOUNTPOINT --file NAME --size BYTES\n"
           "         [--usable BYTES [--past-usable wrap|drop] | --keep-nothing]\n"
           "         [--cache BYTES] [--rate BYTES_PER_SECOND]\n"
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
        } else if (name == "--past-usable") {
            if (value != "wrap" && value != "drop")
                return "--past-usable is wrap or drop, not '" + value + "'";
            options.pastUsable = value == "wrap" ? PastUsable::Wrap : PastUsable::Drop;
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
    if (pastUsableGiven && options.usable == 0)
        return "--past-usable needs --usable";
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
