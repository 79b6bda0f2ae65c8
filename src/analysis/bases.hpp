// The four bases as the kernels and the command number them: A, C, G, T as 0
// to 3, in either case; every other byte (N, IUPAC codes, U) is none of them.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>

namespace marlinox::analysis {

inline constexpr unsigned kNotABase = 4;

// A byte's base, or kNotABase.
inline constexpr std::array<std::uint8_t, 256> kBaseCode = [] {
    std::array<std::uint8_t, 256> code{};
    code.fill(kNotABase);
    constexpr std::string_view kLetters = "ACGT";
    for (unsigned base = 0; base < kLetters.size(); ++base) {
        const auto upper = static_cast<unsigned char>(kLetters[base]);
        code[upper] = static_cast<std::uint8_t>(base);
        code[upper | 0x20u] = static_cast<std::uint8_t>(base);
    }
    return code;
}();

// Bit b for a byte of base b; 0 for every other byte.
inline constexpr std::array<std::uint8_t, 256> kBaseBit = [] {
    std::array<std::uint8_t, 256> bits{};
    for (unsigned byte = 0; byte < bits.size(); ++byte)
        if (kBaseCode[byte] != kNotABase) bits[byte] = static_cast<std::uint8_t>(1u << kBaseCode[byte]);
    return bits;
}();

}  // namespace marlinox::analysis
