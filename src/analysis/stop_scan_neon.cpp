// The neon level of the stop scan (ARM Advanced SIMD): a block in four 16-byte
// parts, whose lanes are summed into bit masks by pairwise additions.

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "analysis/level_kernels.hpp"
#include "analysis/stop_scan_grouped.hpp"
#include "analysis/stop_scan_set.hpp"
#include "analysis/stop_scan_shuffle.hpp"

#if defined(MARLINOX_HAVE_NEON)
#include <arm_neon.h>

namespace marlinox::analysis {
namespace {

using stop_scan::BlockStops;
using stop_scan::Count;

// Lane k of the result has bit i set when byte 8k + i of `v` is set; the
// lanes of `v` are all ones or all zeros. Each lane keeps its own weight, then
// pairwise sums add eight neighbours into one byte; two rounds more (bits_of)
// make the 64-bit mask of four such results.
MX_NEON_TARGET inline uint8x8_t weighed_pairs(uint8x16_t v) noexcept {
    const uint8x16_t weights = {1, 2, 4, 8, 16, 32, 64, 128, 1, 2, 4, 8, 16, 32, 64, 128};
    const uint8x16_t w = vandq_u8(v, weights);
    return vpadd_u8(vget_low_u8(w), vget_high_u8(w));
}

MX_NEON_TARGET inline std::uint64_t bits_of(uint8x8_t low, uint8x8_t high) noexcept {
    return vget_lane_u64(vreinterpret_u64_u8(vpadd_u8(low, high)), 0);
}

template <Count count>
class NeonStops {
public:
    MX_NEON_TARGET NeonStops() noexcept : high_(vdupq_n_u8(0)) {}
    MX_NEON_TARGET BlockStops block(const unsigned char* p) noexcept { return stops<true>(p); }
    MX_NEON_TARGET BlockStops peek(const unsigned char* p) noexcept { return stops<false>(p); }
    // Non-ASCII bytes are gathered in a vector and tested once, at the end.
    MX_NEON_TARGET bool ascii() const noexcept {
        const uint8x8_t folded = vorr_u8(vget_low_u8(high_), vget_high_u8(high_));
        return (vget_lane_u64(vreinterpret_u64_u8(folded), 0) & 0x8080808080808080u) == 0;
    }
    MX_INLINE std::size_t acgt() const noexcept { return acgt_; }
    MX_INLINE std::size_t gc() const noexcept { return gc_; }

private:
    template <bool note>
    MX_NEON_TARGET BlockStops stops(const unsigned char* p) noexcept {
        // Each part's masks are summed at once, which keeps few registers live.
        uint8x8_t forward[2], reverse[2], letters[2], gc[2];
        MX_UNROLL for (unsigned half = 0; half < 2; ++half) {
            uint8x8_t forward_parts[2], reverse_parts[2], letter_parts[2], gc_parts[2];
            MX_UNROLL for (unsigned k = 0; k < 2; ++k) {
                // Loads hoisted ahead of the parts before would outnumber the
                // sixteen vector registers and go to the stack.
                __asm__ volatile("" ::: "memory");
                const unsigned char* at = p + 32 * half + 16 * k;
                const uint8x16_t fold = vdupq_n_u8(kFold);
                const uint8x16_t raw = vld1q_u8(at);
                const uint8x16_t x0 = vorrq_u8(raw, fold);
                const uint8x16_t x1 = vorrq_u8(vld1q_u8(at + 1), fold);
                const uint8x16_t x2 = vorrq_u8(vld1q_u8(at + 2), fold);
                const uint8x16_t t = vdupq_n_u8('t'), a = vdupq_n_u8('a'), g = vdupq_n_u8('g'), c = vdupq_n_u8('c');
                const uint8x16_t t0 = vceqq_u8(x0, t), c0 = vceqq_u8(x0, c);
                uint8x16_t forward_lanes, reverse_lanes;
                stop_scan::stop_formulas(t0, c0, vceqq_u8(x1, a), vceqq_u8(x1, g), vceqq_u8(x1, t), vceqq_u8(x1, c),
                                         vceqq_u8(x2, a), vceqq_u8(x2, g), forward_lanes, reverse_lanes);
                forward_parts[k] = weighed_pairs(forward_lanes);
                reverse_parts[k] = weighed_pairs(reverse_lanes);
                if constexpr (note) {
                    high_ = vorrq_u8(high_, raw);
                    if constexpr (count != Count::none) {
                        const uint8x16_t gc_lanes = c0 | vceqq_u8(x0, g);
                        gc_parts[k] = weighed_pairs(gc_lanes);
                        if constexpr (count == Count::letters)
                            letter_parts[k] = weighed_pairs(t0 | gc_lanes | vceqq_u8(x0, a));
                    }
                }
            }
            forward[half] = vpadd_u8(forward_parts[0], forward_parts[1]);
            reverse[half] = vpadd_u8(reverse_parts[0], reverse_parts[1]);
            if constexpr (note && count != Count::none) gc[half] = vpadd_u8(gc_parts[0], gc_parts[1]);
            if constexpr (note && count == Count::letters) letters[half] = vpadd_u8(letter_parts[0], letter_parts[1]);
        }
        if constexpr (note && count != Count::none)
            gc_ += static_cast<std::size_t>(std::popcount(bits_of(gc[0], gc[1])));
        if constexpr (note && count == Count::letters)
            acgt_ += static_cast<std::size_t>(std::popcount(bits_of(letters[0], letters[1])));
        return {bits_of(forward[0], forward[1]), bits_of(reverse[0], reverse[1])};
    }

    uint8x16_t high_;
    std::size_t acgt_ = 0, gc_ = 0;
};

// Entry `index` of a 16-byte table; 0 for an index from 16 on.
MX_NEON_TARGET inline uint8x16_t lookup(uint8x16_t table, uint8x16_t index) noexcept {
#if defined(__aarch64__)
    return vqtbl1q_u8(table, index);
#else
    const uint8x8x2_t halves = {{vget_low_u8(table), vget_high_u8(table)}};
    return vcombine_u8(vtbl2_u8(halves, vget_low_u8(index)), vtbl2_u8(halves, vget_high_u8(index)));
#endif
}

MX_NEON_TARGET inline uint8x16_t load_table(const stop_scan::NibbleTable& table) noexcept {
    return vld1q_u8(table.data());
}

// The stops of a set given at run time by table lookups (stop_scan_shuffle.hpp).
template <Count count>
class NeonSetStops {
public:
    MX_NEON_TARGET explicit NeonSetStops(CodonSet stops) noexcept
        : letter_(load_table(stop_scan::kLetterOfNibble)), first_(load_table(stop_scan::kFirstBase)),
          second_(load_table(stop_scan::kSecondBase)), third_(load_table(stop_scan::kThirdBit)),
          gc_nibble_(load_table(stop_scan::kGcNibble)), codons_(load_table(stop_scan::codon_table(stops))),
          high_(vdupq_n_u8(0)) {}
    MX_NEON_TARGET BlockStops block(const unsigned char* p) noexcept { return stops<true>(p); }
    MX_NEON_TARGET BlockStops peek(const unsigned char* p) noexcept { return stops<false>(p); }
    MX_NEON_TARGET bool ascii() const noexcept {
        const uint8x8_t folded = vorr_u8(vget_low_u8(high_), vget_high_u8(high_));
        return (vget_lane_u64(vreinterpret_u64_u8(folded), 0) & 0x8080808080808080u) == 0;
    }
    MX_INLINE std::size_t acgt() const noexcept { return acgt_; }
    MX_INLINE std::size_t gc() const noexcept { return gc_; }

private:
    template <bool note>
    MX_NEON_TARGET BlockStops stops(const unsigned char* p) noexcept {
        uint8x8_t forward[2], reverse[2], letters[2], gc[2];
        MX_UNROLL for (unsigned half = 0; half < 2; ++half) {
            uint8x8_t forward_parts[2], reverse_parts[2], letter_parts[2], gc_parts[2];
            MX_UNROLL for (unsigned k = 0; k < 2; ++k) {
                __asm__ volatile("" ::: "memory");
                const unsigned char* at = p + 32 * half + 16 * k;
                const uint8x16_t nibble = vdupq_n_u8(0x0F);
                const uint8x16_t raw = vld1q_u8(at);
                const uint8x16_t low0 = vandq_u8(raw, nibble);
                const uint8x16_t low1 = vandq_u8(vld1q_u8(at + 1), nibble);
                const uint8x16_t low2 = vandq_u8(vld1q_u8(at + 2), nibble);
                const uint8x16_t letter_lanes = vceqq_u8(lookup(letter_, low0), vorrq_u8(raw, vdupq_n_u8(kFold)));
                const uint8x16_t entry = lookup(codons_, vorrq_u8(lookup(first_, low0), lookup(second_, low1)));
                const uint8x16_t forward_bit = lookup(third_, low2);
                forward_parts[k] = weighed_pairs(vtstq_u8(entry, forward_bit));
                reverse_parts[k] = weighed_pairs(vtstq_u8(entry, vaddq_u8(forward_bit, forward_bit)));
                letter_parts[k] = weighed_pairs(letter_lanes);
                if constexpr (note) {
                    high_ = vorrq_u8(high_, raw);
                    if constexpr (count != Count::none) {
                        const uint8x16_t gc_lanes = lookup(gc_nibble_, low0);
                        gc_parts[k] = weighed_pairs(vandq_u8(vtstq_u8(gc_lanes, gc_lanes), letter_lanes));
                    }
                }
            }
            forward[half] = vpadd_u8(forward_parts[0], forward_parts[1]);
            reverse[half] = vpadd_u8(reverse_parts[0], reverse_parts[1]);
            letters[half] = vpadd_u8(letter_parts[0], letter_parts[1]);
            if constexpr (note && count != Count::none) gc[half] = vpadd_u8(gc_parts[0], gc_parts[1]);
        }
        const std::uint64_t letter_bits = bits_of(letters[0], letters[1]);
        const std::array<std::uint64_t, 4> following = stop_scan::letters_after(p + 64);
        const std::uint64_t windows =
            stop_scan::whole_windows(letter_bits, following[0] | following[1] | following[2] | following[3]);
        if constexpr (note && count != Count::none)
            gc_ += static_cast<std::size_t>(std::popcount(bits_of(gc[0], gc[1])));
        if constexpr (note && count == Count::letters) acgt_ += static_cast<std::size_t>(std::popcount(letter_bits));
        return {bits_of(forward[0], forward[1]) & windows, bits_of(reverse[0], reverse[1]) & windows};
    }

    uint8x16_t letter_, first_, second_, third_, gc_nibble_, codons_;
    uint8x16_t high_;
    std::size_t acgt_ = 0, gc_ = 0;
};

}  // namespace

MX_NEON_TARGET MX_ENTRY AsciiScan set_scan_with_gc_neon(std::string_view sequence, CodonSet stops) noexcept {
    return stop_scan::scan_with_gc<NeonSetStops>(sequence, stops);
}
MX_NEON_TARGET MX_ENTRY LocatedScan located_set_scan_neon(std::string_view sequence, CodonSet stops) noexcept {
    return stop_scan::located_scan<NeonSetStops>(sequence, stops);
}
MX_NEON_TARGET MX_ENTRY AsciiScan stop_scan_neon(std::string_view sequence) noexcept {
    return stop_scan::plain_scan<NeonStops>(sequence);
}
MX_NEON_TARGET MX_ENTRY AsciiScan stop_scan_with_gc_neon(std::string_view sequence) noexcept {
    return stop_scan::scan_with_gc<NeonStops>(sequence);
}
MX_NEON_TARGET MX_ENTRY LocatedScan located_scan_neon(std::string_view sequence) noexcept {
    return stop_scan::located_scan<NeonStops>(sequence);
}

}  // namespace marlinox::analysis

#endif
