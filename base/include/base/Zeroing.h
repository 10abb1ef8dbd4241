// Zeros over a range of a disk in large aligned writes: what the format writes over its new
// partition, at the speed of the medium.
#pragma once

#include "base/BlockDevice.h"

#include <cstdint>
#include <functional>

namespace kestrune::blockio {

struct ZeroingOutcome {
    enum class End { Done, Aborted, Failed };
    End end = End::Done;
    int error = 0; // the errno value of a failed write or sync (ENOMEM: no buffer)
};

// Writes zeros over [from, to) of the device and syncs it. progress, when given, hears the
// percent of the range done: 0 first, then each new percent at most a few times a second,
// 100 once the zeros are on the medium. Blocks are sized so that the abort flag (read
// atomically between blocks) stops the writing within about a second.
ZeroingOutcome writeZeros(BlockDevice& device, uint64_t from, uint64_t to,
                          const std::function<void(int percent)>& progress = {},
                          const unsigned char* abortFlag = nullptr);

} // namespace kestrune::blockio
