// The engine's passes write through the base's block I/O, which the format shares.
#pragma once

#include "base/BlockDevice.h"

namespace kestrune::engine {

using blockio::AlignedBuffer;
using blockio::BlockDevice;

} // namespace kestrune::engine
