// The detector of the stop scan for a stop set given at run time, on any
// level that can tell which bytes of a block are which letter: the stops are
// the set's codon terms over those letter masks (codon_windows.hpp).
#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>

#include "analysis/codon_set.hpp"
#include "analysis/codon_windows.hpp"
#include "analysis/stop_scan_grouped.hpp"

namespace marlinox::analysis::stop_scan {

// The letters (A, C, G, T, in either case) of a block's bytes, and in bits 0
// and 1 of `next` those of the two bytes after it.
struct BlockLetters {
    std::array<std::uint64_t, 4> here, next;
};

// The letters of the `valid` (0 to 2) bytes at p, as BlockLetters::next.
MX_INLINE std::array<std::uint64_t, 4> letters_after(const unsigned char* p, std::size_t valid = 2) noexcept {
    const unsigned both = (valid > 0 ? kBaseBit[p[0]] : 0u) | (valid > 1 ? kBaseBit[p[1]] << 4 : 0u);
    std::array<std::uint64_t, 4> out;
    MX_UNROLL for (unsigned base = 0; base < 4; ++base) out[base] = ((both >> base) & 1u) | ((both >> (base + 3)) & 2u);
    return out;
}

// `Reader` offers letters<note>(p), the BlockLetters of the block at p,
// reading 66 bytes and, when `note`, taking note of bytes from 0x80 on; and
// ascii(). It may offer gc() and acgt(), the counts of the letters it noted,
// which are otherwise counted here. `kFixed`, when not empty, is the stop set,
// known when compiling.
template <Count count, class Reader, CodonSet kFixed = 0>
class SetStops {
public:
    // A fixed set needs no table of terms.
    explicit SetStops(CodonSet stops) noexcept : stops_(kFixed != 0 ? 0 : stops) {}

    MX_INLINE BlockStops block(const unsigned char* p) noexcept { return stops<true>(reader_.template letters<true>(p)); }
    MX_INLINE BlockStops peek(const unsigned char* p) noexcept { return stops<false>(reader_.template letters<false>(p)); }
    MX_INLINE bool ascii() const noexcept { return reader_.ascii(); }
    MX_INLINE std::size_t acgt() const noexcept {
        if constexpr (kReaderCounts) return reader_.acgt();
        else return acgt_;
    }
    MX_INLINE std::size_t gc() const noexcept {
        if constexpr (kReaderCounts) return reader_.gc();
        else return gc_;
    }

private:
    static constexpr bool kReaderCounts = requires(const Reader& reader) { reader.gc(); };

    template <bool note>
    MX_INLINE BlockStops stops(const BlockLetters& letters) noexcept {
        if constexpr (note && count != Count::none && !kReaderCounts) {
            const std::array<std::uint64_t, 4>& is = letters.here;
            gc_ += static_cast<std::size_t>(std::popcount(is[1] | is[2]));
            if constexpr (count == Count::letters)
                acgt_ += static_cast<std::size_t>(std::popcount(is[0] | is[1] | is[2] | is[3]));
        }
        const WindowLetters at = window_letters<true>(letters.here, letters.next);
        CodonHits hits;
        if constexpr (kFixed != 0) hits = fixed_codon_hits<kFixed>(at);
        else hits = codon_hits(at, stops_);
        return {hits.forward, hits.reverse};
    }

    Reader reader_;
    StrandCodons stops_;
    std::size_t acgt_ = 0, gc_ = 0;
};

}  // namespace marlinox::analysis::stop_scan
