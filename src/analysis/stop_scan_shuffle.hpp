// What the avx2 and avx512 detectors for a stop set given at run time share:
// 16-byte tables for byte shuffles (pshufb), which look each byte up by its
// low four bits. A, C, G and T have distinct low four bits in either case
// (1, 3, 7, 4), so those bits give a letter's base; whether the byte is that
// letter at all is one compare with the folded byte.
//
// A window's codon number is split: the first two bases (0 to 15) pick a byte
// of the codon table, whose bits 2z and 2z + 1 say whether the codon ending
// in base z is a forward and a reverse stop; the third base picks bit 2z.
#pragma once

#include <array>
#include <cstdint>

#include "analysis/codon_set.hpp"
#include "analysis/level_kernels.hpp"
#include "analysis/stop_scan_frames.hpp"

namespace marlinox::analysis::stop_scan {

using NibbleTable = std::array<std::uint8_t, 16>;

// The base (0 to 3: A, C, G, T) of each letter's low four bits.
inline constexpr std::array<std::uint8_t, 4> kBaseNibble = {1, 3, 7, 4};

constexpr NibbleTable nibble_table(std::uint8_t a, std::uint8_t c, std::uint8_t g, std::uint8_t t) noexcept {
    NibbleTable table{};
    const std::uint8_t values[4] = {a, c, g, t};
    for (unsigned base = 0; base < 4; ++base) table[kBaseNibble[base]] = values[base];
    return table;
}

// The folded letter a byte would be, to compare with the folded byte.
inline constexpr NibbleTable kLetterOfNibble = nibble_table('a', 'c', 'g', 't');
// The first base times 4, the second base: their OR picks the table's byte.
inline constexpr NibbleTable kFirstBase = nibble_table(0, 4, 8, 12);
inline constexpr NibbleTable kSecondBase = nibble_table(0, 1, 2, 3);
// The third base's forward bit; the reverse bit is the next one up.
inline constexpr NibbleTable kThirdBit = nibble_table(1, 4, 16, 64);
// High bit for G and C, for the count.
inline constexpr NibbleTable kGcNibble = nibble_table(0, 0x80, 0x80, 0);

// The codon table of `stops`.
constexpr NibbleTable codon_table(CodonSet stops) noexcept {
    const CodonSet reverse = reverse_complement_codons(stops);
    NibbleTable table{};
    for (unsigned codon = 0; codon < 64; ++codon) {
        const unsigned bit = 2 * (codon & 3u);
        table[codon >> 2] = static_cast<std::uint8_t>(table[codon >> 2] | ((stops >> codon) & 1u) << bit |
                                                      ((reverse >> codon) & 1u) << (bit + 1));
    }
    return table;
}

// The windows of a block whose three bytes are all letters, from the block's
// letter bytes and those of the two bytes after it (bits 0 and 1).
MX_INLINE std::uint64_t whole_windows(std::uint64_t letters, std::uint64_t next) noexcept {
    return letters & ((letters >> 1) | (next << 63)) & ((letters >> 2) | (next << 62));
}

}  // namespace marlinox::analysis::stop_scan
