// Which windows of a 64-byte block hold a codon of a set, on either strand,
// from one bit mask per letter: integer bit operations that every level
// shares once its letters are known.
#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <utility>

#include "analysis/codon_set.hpp"

namespace marlinox::analysis {

// Bits p of a block with p modulo 3 equal to the index.
inline constexpr std::array<std::uint64_t, 3> kClassBits{0x9249249249249249u, 0x2492492492492492u,
                                                         0x4924924924924924u};

// at[i][b]: bit k set when byte k + i of the block is base b (A, C, G, T as
// 0 to 3) in either case; the window at k reads at[0], at[1], at[2] at bit k.
using WindowLetters = std::array<std::array<std::uint64_t, 4>, 3>;

// From the letters of the block's bytes and of the two bytes after it (bits 0
// and 1 of `next`). `pinned`: the letters stay in integer registers; for
// letters just written one by one, which a vectorized read would load back in
// pairs, stalling every block.
template <bool pinned = false>
[[gnu::always_inline]] inline WindowLetters window_letters(const std::array<std::uint64_t, 4>& here,
                                                           const std::array<std::uint64_t, 4>& next) noexcept {
    WindowLetters at;
    // Unrolled, so that the windows' letters stay in registers.
#pragma GCC unroll 4
    for (unsigned base = 0; base < 4; ++base) {
        std::uint64_t letter = here[base];
        if constexpr (pinned) asm("" : "+r"(letter));
        at[0][base] = letter;
        at[1][base] = (letter >> 1) | (next[base] << 63);
        at[2][base] = (letter >> 2) | (next[base] << 62);
    }
    return at;
}

// The codons of a set as each strand reads them: a window of the forward
// strand holds a codon of the set on the reverse strand when it reads the
// codon's reverse complement.
struct StrandCodons {
    struct Codon {
        std::uint8_t first, second, third;
    };
    // Only the first `count` entries are written and read: a scan builds
    // these for every record.
    std::array<Codon, 64> forward, reverse;
    std::size_t count = 0;

    explicit constexpr StrandCodons(CodonSet codons) noexcept {
        for (; codons != 0; codons &= codons - 1) {
            const auto codon = static_cast<unsigned>(std::countr_zero(codons));
            const auto first = static_cast<std::uint8_t>(codon >> 4), second = static_cast<std::uint8_t>((codon >> 2) & 3u),
                       third = static_cast<std::uint8_t>(codon & 3u);
            forward[count] = {first, second, third};
            reverse[count] = {static_cast<std::uint8_t>(3 - third), static_cast<std::uint8_t>(3 - second),
                              static_cast<std::uint8_t>(3 - first)};
            ++count;
        }
    }
};

// The windows that hold a codon of `codons`, forward and reverse.
struct CodonHits {
    std::uint64_t forward = 0, reverse = 0;
};

[[gnu::always_inline]] inline CodonHits codon_hits(const WindowLetters& at, const StrandCodons& codons) noexcept {
    CodonHits out;
    for (std::size_t k = 0; k < codons.count; ++k) {
        const StrandCodons::Codon& f = codons.forward[k];
        const StrandCodons::Codon& r = codons.reverse[k];
        out.forward |= at[0][f.first] & at[1][f.second] & at[2][f.third];
        out.reverse |= at[0][r.first] & at[1][r.second] & at[2][r.third];
    }
    return out;
}

// codon_hits for a set known when compiling: every index is a constant, so
// the letters stay in registers and terms that share letters share work.
template <CodonSet kCodons>
[[gnu::always_inline]] inline CodonHits fixed_codon_hits(const WindowLetters& at) noexcept {
    constexpr std::size_t kCount = static_cast<std::size_t>(std::popcount(kCodons));
    struct Strands {
        std::array<StrandCodons::Codon, kCount> forward{}, reverse{};
    };
    static constexpr Strands kStrands = [] {
        const StrandCodons codons(kCodons);
        Strands out;
        for (std::size_t k = 0; k < kCount; ++k) out.forward[k] = codons.forward[k], out.reverse[k] = codons.reverse[k];
        return out;
    }();
    CodonHits out;
    [&]<std::size_t... k>(std::index_sequence<k...>) {
        ((out.forward |= at[0][kStrands.forward[k].first] & at[1][kStrands.forward[k].second] &
                         at[2][kStrands.forward[k].third],
          out.reverse |= at[0][kStrands.reverse[k].first] & at[1][kStrands.reverse[k].second] &
                         at[2][kStrands.reverse[k].third]),
         ...);
    }(std::make_index_sequence<kCount>{});
    return out;
}

}  // namespace marlinox::analysis
