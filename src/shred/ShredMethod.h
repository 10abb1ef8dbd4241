#pragma once

#include <kestrune/shred_methods.h>

#include <cstdint>

namespace kestrune {

// The method a fresh installation and an unknown stored number stand for.
inline constexpr const ShredMethod& kDefaultShredMethod = kShredMethods[0];

inline constexpr bool IsShredAlgorithm(std::int64_t number) {
    return findShredMethod(number) != nullptr;
}

// The shred method a stored setting stands for: a number no method has (below 100, a newer
// version's, a typing error) means the default, so that the window, the start question, the
// job and the certificate all name the method that runs.
inline constexpr const ShredMethod& EffectiveShredMethod(std::int64_t stored) {
    const ShredMethod* method = findShredMethod(stored);
    return method ? *method : kDefaultShredMethod;
}

inline constexpr std::uint32_t EffectiveShredAlgorithm(std::uint32_t stored) {
    return std::uint32_t(EffectiveShredMethod(stored).number);
}

// The overwrite passes a method writes; 0 for a number no method has.
inline constexpr int PlannedShredPasses(std::int64_t number) {
    const ShredMethod* method = findShredMethod(number);
    return method ? method->passes() : 0;
}

} // namespace kestrune
