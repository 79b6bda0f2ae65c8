// Sets of codons of A, C, G and T, such as a genetic code's stops or a list of
// start codons, as one bit per codon.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "analysis/bases.hpp"

namespace marlinox::analysis {

// Bit codon_index(codon) for each codon of the set.
using CodonSet = std::uint64_t;

// A codon's number: A, C, G, T as 0 to 3, first base most significant; -1
// for a codon with any other byte. Lower case counts as upper case.
constexpr int codon_index(const unsigned char* codon) noexcept {
    const unsigned first = kBaseCode[codon[0]], second = kBaseCode[codon[1]], third = kBaseCode[codon[2]];
    if ((first | second | third) > 3) return -1;
    return static_cast<int>((first << 4) | (second << 2) | third);
}

// The bit of the codon of bases `first`, `second`, `third` (0 to 3: A, C, G, T).
constexpr CodonSet codon_bit(unsigned first, unsigned second, unsigned third) noexcept {
    return CodonSet{1} << ((first << 4) | (second << 2) | third);
}

// The codons of a list such as "TAA,TAG" (upper case A, C, G, T only), for
// sets written in the code.
consteval CodonSet codons_of(std::string_view list) {
    constexpr std::string_view kBases = "ACGT";
    CodonSet set = 0;
    for (std::size_t at = 0; at + 3 <= list.size(); at += 4)
        set |= codon_bit(static_cast<unsigned>(kBases.find(list[at])), static_cast<unsigned>(kBases.find(list[at + 1])),
                         static_cast<unsigned>(kBases.find(list[at + 2])));
    return set;
}

// TAA, TAG and TGA: the stops of the standard genetic code.
inline constexpr CodonSet kStandardStops = codon_bit(3, 0, 0) | codon_bit(3, 0, 2) | codon_bit(3, 2, 0);

// The reverse complements of the codons of `codons`: base b pairs with 3 - b,
// and the codon is read from its other end.
constexpr CodonSet reverse_complement_codons(CodonSet codons) noexcept {
    CodonSet out = 0;
    for (unsigned codon = 0; codon < 64; ++codon) {
        if (((codons >> codon) & 1u) == 0) continue;
        out |= codon_bit(3 - (codon & 3u), 3 - ((codon >> 2) & 3u), 3 - (codon >> 4));
    }
    return out;
}

}  // namespace marlinox::analysis
