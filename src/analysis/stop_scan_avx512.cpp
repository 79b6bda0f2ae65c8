// The avx512 level of the stop scan (AVX-512 F and BW): a whole block per
// load, each letter compared straight into a 64-bit mask.

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "analysis/level_kernels.hpp"
#include "analysis/stop_scan_avx512.hpp"
#include "analysis/stop_scan_grouped.hpp"
#include "analysis/stop_scan_set.hpp"
#include "analysis/stop_scan_shuffle.hpp"

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

MX_AVX512_TARGET inline __m512i broadcast(const stop_scan::NibbleTable& table) noexcept {
    return _mm512_broadcast_i32x4(_mm_loadu_si128(reinterpret_cast<const __m128i*>(table.data())));
}

// The stops of a set given at run time by byte shuffles (stop_scan_shuffle.hpp).
template <Count count>
class Avx512SetStops {
public:
    MX_AVX512_TARGET explicit Avx512SetStops(CodonSet stops) noexcept
        : letter_(broadcast(stop_scan::kLetterOfNibble)), first_(broadcast(stop_scan::kFirstBase)),
          second_(broadcast(stop_scan::kSecondBase)), third_(broadcast(stop_scan::kThirdBit)),
          gc_nibble_(broadcast(stop_scan::kGcNibble)), codons_(broadcast(stop_scan::codon_table(stops))),
          high_(_mm512_setzero_si512()) {}
    MX_AVX512_TARGET BlockStops block(const unsigned char* p) noexcept {
        return stops<true>(_mm512_loadu_si512(p), _mm512_loadu_si512(p + 1), _mm512_loadu_si512(p + 2),
                           stop_scan::letters_after(p + 64));
    }
    MX_AVX512_TARGET BlockStops peek(const unsigned char* p) noexcept {
        return stops<false>(_mm512_loadu_si512(p), _mm512_loadu_si512(p + 1), _mm512_loadu_si512(p + 2),
                            stop_scan::letters_after(p + 64));
    }
    MX_AVX512_TARGET BlockStops part_block(const unsigned char* p, std::size_t n) noexcept {
        const unsigned char* end = p + n;
        return stops<true>(load_before(p, end), load_before(p + 1, end), load_before(p + 2, end),
                           stop_scan::letters_after(p + 64, n > 64 ? n - 64 : 0));
    }
    MX_AVX512_TARGET bool ascii() const noexcept { return _mm512_movepi8_mask(high_) == 0; }
    MX_INLINE std::size_t acgt() const noexcept { return acgt_; }
    MX_INLINE std::size_t gc() const noexcept { return gc_; }

private:
    // `raw`, `next` and `after`: the block's bytes from its first, second and
    // third byte on; `following`: the letters of the two bytes after it.
    template <bool note>
    MX_AVX512_TARGET BlockStops stops(__m512i raw, __m512i next, __m512i after,
                                      const std::array<std::uint64_t, 4>& following) noexcept {
        const __m512i folded = _mm512_or_si512(raw, _mm512_set1_epi8(kFold));
        const std::uint64_t letters = _mm512_cmpeq_epi8_mask(_mm512_shuffle_epi8(letter_, raw), folded);
        const __m512i pair = _mm512_or_si512(_mm512_shuffle_epi8(first_, raw), _mm512_shuffle_epi8(second_, next));
        const __m512i entry = _mm512_shuffle_epi8(codons_, pair);
        const __m512i forward_bit = _mm512_shuffle_epi8(third_, after);
        const __m512i reverse_bit = _mm512_add_epi8(forward_bit, forward_bit);
        const std::uint64_t windows =
            stop_scan::whole_windows(letters, following[0] | following[1] | following[2] | following[3]);
        if constexpr (note) {
            high_ = _mm512_or_si512(high_, raw);
            if constexpr (count != Count::none)
                gc_ += static_cast<std::size_t>(
                    std::popcount(_mm512_movepi8_mask(_mm512_shuffle_epi8(gc_nibble_, raw)) & letters));
            if constexpr (count == Count::letters) acgt_ += static_cast<std::size_t>(std::popcount(letters));
        }
        return {_mm512_test_epi8_mask(entry, forward_bit) & windows, _mm512_test_epi8_mask(entry, reverse_bit) & windows};
    }

    __m512i letter_, first_, second_, third_, gc_nibble_, codons_;
    __m512i high_;
    std::size_t acgt_ = 0, gc_ = 0;
};

}  // namespace

MX_AVX512_TARGET MX_ENTRY AsciiScan set_scan_with_gc_avx512(std::string_view sequence, CodonSet stops) noexcept {
    return stop_scan::scan_with_gc<Avx512SetStops>(sequence, stops);
}
MX_AVX512_TARGET MX_ENTRY LocatedScan located_set_scan_avx512(std::string_view sequence, CodonSet stops) noexcept {
    return stop_scan::located_scan<Avx512SetStops>(sequence, stops);
}
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
