#pragma once

#include <cstdint>

namespace kestrune {

// The shred method a stored setting stands for: numbers below 100 mean method 100. The
// window and the command line start what this says.
inline std::uint32_t EffectiveShredAlgorithm(std::uint32_t stored) {
    return stored < 100 ? 100 : stored;
}

} // namespace kestrune
