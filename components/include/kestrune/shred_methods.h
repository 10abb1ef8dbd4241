// The erase methods: each one's number (the ShredAlgo setting, the engine's algorithm), the
// keys of its texts and the passes it writes. The program and the engine are both built from
// this table, so a method is one row here plus its texts in the language tables.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace kestrune {

enum ShredMethodNumber : std::int32_t {
    SHRED_METHOD_ZEROS = 100,
    SHRED_METHOD_RANDOM = 101,
    SHRED_METHOD_THREE_PASSES = 102,
    SHRED_METHOD_35_PASSES = 103,
};

// What the passes of one step write.
enum class ShredFill : std::uint8_t {
    Pattern,          // the step's pattern: the byte at offset o is pattern[o % 3]
    Random,           // the random stream
    ShuffledPatterns, // the 27 fixed patterns of the 35-pass sequence, in an order drawn per job
};

struct ShredStep {
    ShredFill fill = ShredFill::Pattern;
    std::uint8_t passes = 0; // 0: no step
    std::array<std::uint8_t, 3> pattern{};
};

struct ShredMethod {
    std::int32_t number;
    const char* nameKey;        // lists, the start question, reports and certificates
    const char* descriptionKey; // the settings and the main window's information panel
    const char* patternsKey;    // the certificate's account of what was written
    // The report's account of what was written: fixed English, for programs that read it.
    const char* reportPatterns;
    const char* helpName; // the terminal's help, which is English
    std::array<ShredStep, 3> steps;

    constexpr int passes() const {
        int total = 0;
        for (const ShredStep& step : steps)
            total += step.passes;
        return total;
    }
};

// The first row is the default: what a fresh installation and an unknown number run.
inline constexpr std::array<ShredMethod, 4> kShredMethods = {{
    {SHRED_METHOD_ZEROS,
     "shred_algo_short_100",
     "shred_algo_description_100",
     "cert_patterns_100",
     "0x00",
     "zeros (1 pass)",
     {{{ShredFill::Pattern, 1, {0x00, 0x00, 0x00}}}}},
    {SHRED_METHOD_RANDOM,
     "shred_algo_short_101",
     "shred_algo_description_101",
     "cert_patterns_101",
     "random",
     "random data (1 pass)",
     {{{ShredFill::Random, 1, {}}}}},
    {SHRED_METHOD_THREE_PASSES,
     "shred_algo_short_102",
     "shred_algo_description_102",
     "cert_patterns_102",
     "0x00, 0xFF, random",
     "three passes",
     {{{ShredFill::Pattern, 1, {0x00, 0x00, 0x00}},
       {ShredFill::Pattern, 1, {0xFF, 0xFF, 0xFF}},
       {ShredFill::Random, 1, {}}}}},
    {SHRED_METHOD_35_PASSES,
     "shred_algo_short_103",
     "shred_algo_description_103",
     "cert_patterns_103",
     "4 x random, 27 fixed patterns in random order, 4 x random",
     "Gutmann (35 passes)",
     {{{ShredFill::Random, 4, {}},
       {ShredFill::ShuffledPatterns, 27, {}},
       {ShredFill::Random, 4, {}}}}},
}};

// The method of that number; none when no method has it.
constexpr const ShredMethod* findShredMethod(std::int64_t number) {
    for (const ShredMethod& method : kShredMethods)
        if (method.number == number)
            return &method;
    return nullptr;
}

} // namespace kestrune
