// The avx512 level of the stop scan (AVX-512 F and BW): a whole block per
// load, each letter compared straight into a 64-bit mask.

#include <bit>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "analysis/level_kernels.hpp"
#include "analysis/stop_scan_avx512.hpp"
#include "analysis/stop_scan_grouped.hpp"

#if defined(__x86_64__)
#include <immintrin.h>

namespace marlinox::analysis {
namespace {

using stop_scan::BlockStops;
using stop_scan::Count;
using stop_scan::load_before;

MX_AVX512_TARGET inline std::uint64_t equal(__m512i bytes, char letter) noexcept {
    return _mm512_cmpeq_epi8_mask(bytes, _mm512_set1_epi8(letter));
}

template <Count count>
class Avx512Stops {
public:
    MX_AVX512_TARGET Avx512Stops() noexcept : high_(_mm512_setzero_si512()) {}
    MX_AVX512_TARGET BlockStops block(const unsigned char* p) noexcept {
        return stops<true>(_mm512_loadu_si512(p), _mm512_loadu_si512(p + 1), _mm512_loadu_si512(p + 2));
    }
    MX_AVX512_TARGET BlockStops peek(const unsigned char* p) noexcept {
        return stops<false>(_mm512_loadu_si512(p), _mm512_loadu_si512(p + 1), _mm512_loadu_si512(p + 2));
    }
    MX_AVX512_TARGET BlockStops part_block(const unsigned char* p, std::size_t n) noexcept {
        const unsigned char* end = p + n;
        return stops<true>(load_before(p, end), load_before(p + 1, end), load_before(p + 2, end));
    }
    // Non-ASCII bytes are gathered in a vector and tested once, at the end.
    MX_AVX512_TARGET bool ascii() const noexcept { return _mm512_movepi8_mask(high_) == 0; }
    MX_INLINE std::size_t acgt() const noexcept { return acgt_; }
    MX_INLINE std::size_t gc() const noexcept { return gc_; }

private:
    // `raw`, `next` and `after`: the block's bytes from its first, second and
    // third byte on.
    template <bool note>
    MX_AVX512_TARGET BlockStops stops(__m512i raw, __m512i next, __m512i after) noexcept {
        const __m512i fold = _mm512_set1_epi8(kFold);
        const __m512i x0 = _mm512_or_si512(raw, fold);
        const __m512i x1 = _mm512_or_si512(next, fold);
        const __m512i x2 = _mm512_or_si512(after, fold);
        const std::uint64_t t0 = equal(x0, 't'), c0 = equal(x0, 'c');
        BlockStops out;
        stop_scan::stop_formulas(t0, c0, equal(x1, 'a'), equal(x1, 'g'), equal(x1, 't'), equal(x1, 'c'),
                                 equal(x2, 'a'), equal(x2, 'g'), out.forward, out.reverse);
        if constexpr (note) {
            high_ = _mm512_or_si512(high_, raw);
            if constexpr (count != Count::none) {
                const std::uint64_t gc = c0 | equal(x0, 'g');
                gc_ += static_cast<std::size_t>(std::popcount(gc));
                if constexpr (count == Count::letters)
                    acgt_ += static_cast<std::size_t>(std::popcount(t0 | gc | equal(x0, 'a')));
            }
        }
        return out;
    }

    __m512i high_;
    std::size_t acgt_ = 0, gc_ = 0;
};

}  // namespace

MX_AVX512_TARGET MX_ENTRY AsciiScan stop_scan_avx512(std::string_view sequence) noexcept {
    return stop_scan::plain_scan<Avx512Stops>(sequence);
}
MX_AVX512_TARGET MX_ENTRY AsciiScan stop_scan_with_gc_avx512(std::string_view sequence) noexcept {
    return stop_scan::scan_with_gc<Avx512Stops>(sequence);
}
MX_AVX512_TARGET MX_ENTRY LocatedScan located_scan_avx512(std::string_view sequence) noexcept {
    return stop_scan::located_scan<Avx512Stops>(sequence);
}

}  // namespace marlinox::analysis

#endif
