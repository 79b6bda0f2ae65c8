// The sse2 level of the stop scan, the x86_64 baseline: a block in four
// 16-byte parts, the stops of each taken as a bit mask by movemask.

#include <bit>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "analysis/level_kernels.hpp"
#include "analysis/stop_scan_grouped.hpp"

#if defined(__x86_64__)
#include <immintrin.h>

namespace marlinox::analysis {
namespace {

using stop_scan::BlockStops;
using stop_scan::Count;
using stop_scan::kBlock;

MX_INLINE std::uint64_t bits_of(__m128i lanes) noexcept {
    return static_cast<unsigned>(_mm_movemask_epi8(lanes));
}

template <Count count>
class Sse2Stops {
public:
    MX_INLINE BlockStops block(const unsigned char* p) noexcept { return stops<true>(p); }
    MX_INLINE BlockStops peek(const unsigned char* p) noexcept { return stops<false>(p); }
    // Non-ASCII bytes are gathered in a vector and tested once, at the end.
    MX_INLINE bool ascii() const noexcept { return _mm_movemask_epi8(high_) == 0; }
    MX_INLINE std::size_t acgt() const noexcept { return acgt_; }
    MX_INLINE std::size_t gc() const noexcept { return gc_; }

private:
    template <bool note>
    MX_INLINE BlockStops stops(const unsigned char* p) noexcept {
        // Counted once per block: a popcount is a long sequence without the
        // POPCNT instruction, which the x86_64 baseline lacks.
        BlockStops out;
        std::uint64_t gc_bits = 0, acgt_bits = 0;
        MX_UNROLL for (unsigned part = 0; part < kBlock / 16; ++part) {
            const unsigned char* at = p + 16 * part;
            const __m128i fold = _mm_set1_epi8(kFold);
            const __m128i raw = _mm_loadu_si128(reinterpret_cast<const __m128i*>(at));
            const __m128i x0 = _mm_or_si128(raw, fold);
            const __m128i x1 = _mm_or_si128(_mm_loadu_si128(reinterpret_cast<const __m128i*>(at + 1)), fold);
            const __m128i x2 = _mm_or_si128(_mm_loadu_si128(reinterpret_cast<const __m128i*>(at + 2)), fold);
            const __m128i t = _mm_set1_epi8('t'), a = _mm_set1_epi8('a'), g = _mm_set1_epi8('g'), c = _mm_set1_epi8('c');
            const __m128i t0 = _mm_cmpeq_epi8(x0, t), c0 = _mm_cmpeq_epi8(x0, c);
            __m128i forward, reverse;
            stop_scan::stop_formulas(t0, c0, _mm_cmpeq_epi8(x1, a), _mm_cmpeq_epi8(x1, g), _mm_cmpeq_epi8(x1, t),
                                     _mm_cmpeq_epi8(x1, c), _mm_cmpeq_epi8(x2, a), _mm_cmpeq_epi8(x2, g), forward,
                                     reverse);
            const unsigned shift = 16 * part;
            out.forward |= bits_of(forward) << shift;
            out.reverse |= bits_of(reverse) << shift;
            if constexpr (note) {
                high_ = _mm_or_si128(high_, raw);
                const __m128i gc = _mm_or_si128(c0, _mm_cmpeq_epi8(x0, g));
                gc_bits |= bits_of(gc) << shift;
                acgt_bits |= bits_of(_mm_or_si128(_mm_or_si128(t0, gc), _mm_cmpeq_epi8(x0, a))) << shift;
            }
        }
        if constexpr (note && count != Count::none) gc_ += static_cast<std::size_t>(std::popcount(gc_bits));
        if constexpr (note && count == Count::letters) acgt_ += static_cast<std::size_t>(std::popcount(acgt_bits));
        return out;
    }

    __m128i high_ = _mm_setzero_si128();
    std::size_t acgt_ = 0, gc_ = 0;
};

}  // namespace

MX_ENTRY AsciiScan stop_scan_sse2(std::string_view sequence) noexcept {
    return stop_scan::plain_scan<Sse2Stops>(sequence);
}
MX_ENTRY AsciiScan stop_scan_with_gc_sse2(std::string_view sequence) noexcept {
    return stop_scan::scan_with_gc<Sse2Stops>(sequence);
}
MX_ENTRY LocatedScan located_scan_sse2(std::string_view sequence) noexcept {
    return stop_scan::located_scan<Sse2Stops>(sequence);
}

}  // namespace marlinox::analysis

#endif
