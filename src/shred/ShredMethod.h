#pragma once

#include <cstdint>

namespace kestrune {

// The erase methods there are: zeros, random data, three passes, the 35-pass sequence.
inline constexpr std::uint32_t kFirstShredAlgorithm = 100;
inline constexpr std::uint32_t kLastShredAlgorithm = 103;

inline constexpr bool IsShredAlgorithm(std::int64_t number) {
    return number >= kFirstShredAlgorithm && number <= kLastShredAlgorithm;
}

// The shred method a stored setting stands for: numbers below 100 mean method 100, and so
// does a number no method has (a newer version's, or a typing error), so that the window,
// the start question, the job and the certificate all name the method that runs.
inline constexpr std::uint32_t EffectiveShredAlgorithm(std::uint32_t stored) {
    return IsShredAlgorithm(stored) ? stored : kFirstShredAlgorithm;
}

} // namespace kestrune
