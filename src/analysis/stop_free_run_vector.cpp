// The sse2, avx2 and neon levels of the ASCII stop scan (stop_free_run_ascii.cpp
// sets out the method). Each finds the stops of a block in vector registers:
// the text is loaded three times, shifted by 0, 1 and 2 bytes, so that lane p
// of the three vectors holds the window at p; the bytes are case folded and
// compared with the letters, and the comparisons combine into the forward and
// the reverse stops before one bit mask is taken of each. Non-ASCII bytes are
// gathered in a vector and tested once, at the end. The grouped scan around
// the stops is stop_scan_grouped.hpp.

#include <bit>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "analysis/level_kernels.hpp"
#include "analysis/stop_scan_grouped.hpp"

#if defined(__x86_64__)
#include <immintrin.h>
#endif
#if defined(MARLINOX_HAVE_NEON)
#include <arm_neon.h>
#endif

namespace marlinox::analysis {
namespace {

using stop_scan::BlockStops;
using stop_scan::Count;
using stop_scan::grouped_scan;
using stop_scan::kBlock;

// The stop formulas on lanes that hold, per window, whether its first, second
// and third bytes are each letter: TAA, TAG, TGA forward; TTA, CTA, TCA reverse.
// (The vector types take & and | lane by lane.)
template <class V>
MX_INLINE void combine(const V& t0, const V& c0, const V& a1, const V& g1, const V& t1, const V& c1, const V& a2,
                       const V& g2, V& forward, V& reverse) noexcept {
    forward = t0 & ((a1 & (a2 | g2)) | (g1 & a2));
    reverse = a2 & ((t1 & (t0 | c0)) | (c1 & t0));
}

#if defined(__x86_64__)

// `count`: what block() counts besides the stops (stop_scan::Count).
template <Count count>
class Sse2Stops {
public:
    MX_INLINE BlockStops block(const unsigned char* p) noexcept { return stops<true>(p); }
    MX_INLINE BlockStops peek(const unsigned char* p) noexcept { return stops<false>(p); }
    MX_INLINE bool ascii() const noexcept { return _mm_movemask_epi8(high_) == 0; }
    MX_INLINE std::size_t acgt() const noexcept { return acgt_; }
    MX_INLINE std::size_t gc() const noexcept { return gc_; }

private:
    template <bool note>
    MX_INLINE BlockStops stops(const unsigned char* p) noexcept {
        BlockStops out;
        MX_UNROLL for (unsigned part = 0; part < kBlock / 16; ++part) {
            const auto* at = reinterpret_cast<const __m128i*>(p + 16 * part);
            const __m128i fold = _mm_set1_epi8(kFold);
            const __m128i raw = _mm_loadu_si128(at);
            const __m128i x0 = _mm_or_si128(raw, fold);
            const __m128i x1 = _mm_or_si128(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16 * part + 1)), fold);
            const __m128i x2 = _mm_or_si128(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16 * part + 2)), fold);
            const __m128i t = _mm_set1_epi8('t'), a = _mm_set1_epi8('a'), g = _mm_set1_epi8('g'), c = _mm_set1_epi8('c');
            const __m128i t0 = _mm_cmpeq_epi8(x0, t), c0 = _mm_cmpeq_epi8(x0, c);
            __m128i forward, reverse;
            combine(t0, c0, _mm_cmpeq_epi8(x1, a), _mm_cmpeq_epi8(x1, g), _mm_cmpeq_epi8(x1, t),
                    _mm_cmpeq_epi8(x1, c), _mm_cmpeq_epi8(x2, a), _mm_cmpeq_epi8(x2, g), forward, reverse);
            const unsigned shift = 16 * part;
            out.forward |= static_cast<std::uint64_t>(static_cast<unsigned>(_mm_movemask_epi8(forward))) << shift;
            out.reverse |= static_cast<std::uint64_t>(static_cast<unsigned>(_mm_movemask_epi8(reverse))) << shift;
            if constexpr (note) {
                high_ = _mm_or_si128(high_, raw);
                if constexpr (count != Count::none) {
                    const __m128i gc = _mm_or_si128(c0, _mm_cmpeq_epi8(x0, g));
                    gc_ += static_cast<std::size_t>(std::popcount(static_cast<unsigned>(_mm_movemask_epi8(gc))));
                    if constexpr (count == Count::letters) {
                        const __m128i letters = _mm_or_si128(_mm_or_si128(t0, gc), _mm_cmpeq_epi8(x0, a));
                        acgt_ += static_cast<std::size_t>(
                            std::popcount(static_cast<unsigned>(_mm_movemask_epi8(letters))));
                    }
                }
            }
        }
        return out;
    }

    __m128i high_ = _mm_setzero_si128();
    std::size_t acgt_ = 0, gc_ = 0;
};

template <Count count>
class Avx2Stops {
public:
    MX_AVX2_TARGET Avx2Stops() noexcept : high_(_mm256_setzero_si256()) {}
    MX_AVX2_TARGET BlockStops block(const unsigned char* p) noexcept { return stops<true>(p); }
    MX_AVX2_TARGET BlockStops peek(const unsigned char* p) noexcept { return stops<false>(p); }
    MX_AVX2_TARGET bool ascii() const noexcept { return _mm256_movemask_epi8(high_) == 0; }
    MX_INLINE std::size_t acgt() const noexcept { return acgt_; }
    MX_INLINE std::size_t gc() const noexcept { return gc_; }

private:
    template <bool note>
    MX_AVX2_TARGET BlockStops stops(const unsigned char* p) noexcept {
        BlockStops out;
        MX_UNROLL for (unsigned part = 0; part < kBlock / 32; ++part) {
            const __m256i fold = _mm256_set1_epi8(kFold);
            const __m256i raw = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 32 * part));
            const __m256i x0 = raw | fold;
            const __m256i x1 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 32 * part + 1)) | fold;
            const __m256i x2 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 32 * part + 2)) | fold;
            const __m256i t = _mm256_set1_epi8('t'), a = _mm256_set1_epi8('a');
            const __m256i g = _mm256_set1_epi8('g'), c = _mm256_set1_epi8('c');
            const __m256i t0 = _mm256_cmpeq_epi8(x0, t), c0 = _mm256_cmpeq_epi8(x0, c);
            __m256i forward, reverse;
            combine(t0, c0, _mm256_cmpeq_epi8(x1, a), _mm256_cmpeq_epi8(x1, g), _mm256_cmpeq_epi8(x1, t),
                    _mm256_cmpeq_epi8(x1, c), _mm256_cmpeq_epi8(x2, a), _mm256_cmpeq_epi8(x2, g), forward, reverse);
            const unsigned shift = 32 * part;
            out.forward |= static_cast<std::uint64_t>(static_cast<std::uint32_t>(_mm256_movemask_epi8(forward))) << shift;
            out.reverse |= static_cast<std::uint64_t>(static_cast<std::uint32_t>(_mm256_movemask_epi8(reverse))) << shift;
            if constexpr (note) {
                high_ = _mm256_or_si256(high_, raw);
                if constexpr (count != Count::none) {
                    const __m256i gc = c0 | _mm256_cmpeq_epi8(x0, g);
                    gc_ += static_cast<std::size_t>(std::popcount(static_cast<std::uint32_t>(_mm256_movemask_epi8(gc))));
                    if constexpr (count == Count::letters) {
                        const __m256i letters = t0 | gc | _mm256_cmpeq_epi8(x0, a);
                        acgt_ += static_cast<std::size_t>(
                            std::popcount(static_cast<std::uint32_t>(_mm256_movemask_epi8(letters))));
                    }
                }
            }
        }
        return out;
    }

    __m256i high_;
    std::size_t acgt_ = 0, gc_ = 0;
};

#endif

#if defined(MARLINOX_HAVE_NEON)

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
                combine(t0, c0, vceqq_u8(x1, a), vceqq_u8(x1, g), vceqq_u8(x1, t), vceqq_u8(x1, c),
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

#endif

}  // namespace

#if defined(__x86_64__)
MX_ENTRY AsciiScan stop_scan_sse2(std::string_view sequence) noexcept {
    Sse2Stops<Count::none> detect;
    return grouped_scan<false>(sequence, detect);
}
MX_ENTRY AsciiScan stop_scan_with_gc_sse2(std::string_view sequence) noexcept {
    Sse2Stops<Count::gc> detect;
    return stop_scan::grouped_scan_with_gc(sequence, detect);
}
MX_ENTRY LocatedScan located_scan_sse2(std::string_view sequence) noexcept {
    Sse2Stops<Count::letters> detect;
    return grouped_scan<true>(sequence, detect);
}
MX_AVX2_TARGET MX_ENTRY AsciiScan stop_scan_avx2(std::string_view sequence) noexcept {
    Avx2Stops<Count::none> detect;
    return grouped_scan<false>(sequence, detect);
}
MX_AVX2_TARGET MX_ENTRY AsciiScan stop_scan_with_gc_avx2(std::string_view sequence) noexcept {
    Avx2Stops<Count::gc> detect;
    return stop_scan::grouped_scan_with_gc(sequence, detect);
}
MX_AVX2_TARGET MX_ENTRY LocatedScan located_scan_avx2(std::string_view sequence) noexcept {
    Avx2Stops<Count::letters> detect;
    return grouped_scan<true>(sequence, detect);
}
#endif
#if defined(MARLINOX_HAVE_NEON)
MX_NEON_TARGET MX_ENTRY AsciiScan stop_scan_neon(std::string_view sequence) noexcept {
    NeonStops<Count::none> detect;
    return grouped_scan<false>(sequence, detect);
}
MX_NEON_TARGET MX_ENTRY AsciiScan stop_scan_with_gc_neon(std::string_view sequence) noexcept {
    NeonStops<Count::gc> detect;
    return stop_scan::grouped_scan_with_gc(sequence, detect);
}
MX_NEON_TARGET MX_ENTRY LocatedScan located_scan_neon(std::string_view sequence) noexcept {
    NeonStops<Count::letters> detect;
    return grouped_scan<true>(sequence, detect);
}
#endif

}  // namespace marlinox::analysis
