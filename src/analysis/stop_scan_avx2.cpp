// The avx2 level of the stop scan: a block in two 32-byte parts, the stops of
// each taken as a bit mask by movemask.

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "analysis/level_kernels.hpp"
#include "analysis/stop_scan_grouped.hpp"
#include "analysis/stop_scan_set.hpp"
#include "analysis/stop_scan_shuffle.hpp"

#if defined(__x86_64__)
#include <immintrin.h>

namespace marlinox::analysis {
namespace {

using stop_scan::BlockStops;
using stop_scan::Count;
using stop_scan::kBlock;

MX_AVX2_TARGET inline std::uint64_t bits_of(__m256i lanes) noexcept {
    return static_cast<std::uint32_t>(_mm256_movemask_epi8(lanes));
}

template <Count count>
class Avx2Stops {
public:
    MX_AVX2_TARGET Avx2Stops() noexcept : high_(_mm256_setzero_si256()) {}
    MX_AVX2_TARGET BlockStops block(const unsigned char* p) noexcept { return stops<true>(p); }
    MX_AVX2_TARGET BlockStops peek(const unsigned char* p) noexcept { return stops<false>(p); }
    // Non-ASCII bytes are gathered in a vector and tested once, at the end.
    MX_AVX2_TARGET bool ascii() const noexcept { return _mm256_movemask_epi8(high_) == 0; }
    MX_INLINE std::size_t acgt() const noexcept { return acgt_; }
    MX_INLINE std::size_t gc() const noexcept { return gc_; }

private:
    template <bool note>
    MX_AVX2_TARGET BlockStops stops(const unsigned char* p) noexcept {
        BlockStops out;
        std::uint64_t gc_bits = 0, acgt_bits = 0;
        MX_UNROLL for (unsigned part = 0; part < kBlock / 32; ++part) {
            const unsigned char* at = p + 32 * part;
            const __m256i fold = _mm256_set1_epi8(kFold);
            const __m256i raw = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(at));
            const __m256i x0 = raw | fold;
            const __m256i x1 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(at + 1)) | fold;
            const __m256i x2 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(at + 2)) | fold;
            const __m256i t = _mm256_set1_epi8('t'), a = _mm256_set1_epi8('a');
            const __m256i g = _mm256_set1_epi8('g'), c = _mm256_set1_epi8('c');
            const __m256i t0 = _mm256_cmpeq_epi8(x0, t), c0 = _mm256_cmpeq_epi8(x0, c);
            __m256i forward, reverse;
            stop_scan::stop_formulas(t0, c0, _mm256_cmpeq_epi8(x1, a), _mm256_cmpeq_epi8(x1, g),
                                     _mm256_cmpeq_epi8(x1, t), _mm256_cmpeq_epi8(x1, c), _mm256_cmpeq_epi8(x2, a),
                                     _mm256_cmpeq_epi8(x2, g), forward, reverse);
            const unsigned shift = 32 * part;
            out.forward |= bits_of(forward) << shift;
            out.reverse |= bits_of(reverse) << shift;
            if constexpr (note) {
                high_ = _mm256_or_si256(high_, raw);
                const __m256i gc = c0 | _mm256_cmpeq_epi8(x0, g);
                gc_bits |= bits_of(gc) << shift;
                acgt_bits |= bits_of(t0 | gc | _mm256_cmpeq_epi8(x0, a)) << shift;
            }
        }
        if constexpr (note && count != Count::none) gc_ += static_cast<std::size_t>(std::popcount(gc_bits));
        if constexpr (note && count == Count::letters) acgt_ += static_cast<std::size_t>(std::popcount(acgt_bits));
        return out;
    }

    __m256i high_;
    std::size_t acgt_ = 0, gc_ = 0;
};

MX_AVX2_TARGET inline __m256i broadcast(const stop_scan::NibbleTable& table) noexcept {
    return _mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(table.data())));
}

// The stops of a set given at run time by byte shuffles (stop_scan_shuffle.hpp),
// a block in two 32-byte parts.
template <Count count>
class Avx2SetStops {
public:
    MX_AVX2_TARGET explicit Avx2SetStops(CodonSet stops) noexcept
        : letter_(broadcast(stop_scan::kLetterOfNibble)), first_(broadcast(stop_scan::kFirstBase)),
          second_(broadcast(stop_scan::kSecondBase)), third_(broadcast(stop_scan::kThirdBit)),
          gc_nibble_(broadcast(stop_scan::kGcNibble)), codons_(broadcast(stop_scan::codon_table(stops))),
          high_(_mm256_setzero_si256()) {}
    MX_AVX2_TARGET BlockStops block(const unsigned char* p) noexcept { return stops<true>(p); }
    MX_AVX2_TARGET BlockStops peek(const unsigned char* p) noexcept { return stops<false>(p); }
    MX_AVX2_TARGET bool ascii() const noexcept { return _mm256_movemask_epi8(high_) == 0; }
    MX_INLINE std::size_t acgt() const noexcept { return acgt_; }
    MX_INLINE std::size_t gc() const noexcept { return gc_; }

private:
    template <bool note>
    MX_AVX2_TARGET BlockStops stops(const unsigned char* p) noexcept {
        // Bits of the block's letters, of the windows without a forward and
        // without a reverse stop (before the letters are checked), of G and C.
        std::uint64_t letters = 0, no_forward = 0, no_reverse = 0, gc = 0;
        MX_UNROLL for (unsigned part = 0; part < kBlock / 32; ++part) {
            const unsigned char* at = p + 32 * part;
            const __m256i raw = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(at));
            const __m256i next = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(at + 1));
            const __m256i after = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(at + 2));
            const __m256i folded = raw | _mm256_set1_epi8(kFold);
            const __m256i pair = _mm256_shuffle_epi8(first_, raw) | _mm256_shuffle_epi8(second_, next);
            const __m256i entry = _mm256_shuffle_epi8(codons_, pair);
            const __m256i forward_bit = _mm256_shuffle_epi8(third_, after);
            const __m256i reverse_bit = _mm256_add_epi8(forward_bit, forward_bit);
            const __m256i zero = _mm256_setzero_si256();
            const unsigned shift = 32 * part;
            letters |= bits_of(_mm256_cmpeq_epi8(_mm256_shuffle_epi8(letter_, raw), folded)) << shift;
            no_forward |= bits_of(_mm256_cmpeq_epi8(entry & forward_bit, zero)) << shift;
            no_reverse |= bits_of(_mm256_cmpeq_epi8(entry & reverse_bit, zero)) << shift;
            if constexpr (note) {
                high_ = _mm256_or_si256(high_, raw);
                if constexpr (count != Count::none) gc |= bits_of(_mm256_shuffle_epi8(gc_nibble_, raw)) << shift;
            }
        }
        const std::array<std::uint64_t, 4> following = stop_scan::letters_after(p + kBlock);
        const std::uint64_t windows =
            stop_scan::whole_windows(letters, following[0] | following[1] | following[2] | following[3]);
        if constexpr (note && count != Count::none) gc_ += static_cast<std::size_t>(std::popcount(gc & letters));
        if constexpr (note && count == Count::letters) acgt_ += static_cast<std::size_t>(std::popcount(letters));
        return {~no_forward & windows, ~no_reverse & windows};
    }

    __m256i letter_, first_, second_, third_, gc_nibble_, codons_;
    __m256i high_;
    std::size_t acgt_ = 0, gc_ = 0;
};

}  // namespace

MX_AVX2_TARGET MX_ENTRY AsciiScan set_scan_with_gc_avx2(std::string_view sequence, CodonSet stops) noexcept {
    return stop_scan::scan_with_gc<Avx2SetStops>(sequence, stops);
}
MX_AVX2_TARGET MX_ENTRY LocatedScan located_set_scan_avx2(std::string_view sequence, CodonSet stops) noexcept {
    return stop_scan::located_scan<Avx2SetStops>(sequence, stops);
}
MX_AVX2_TARGET MX_ENTRY AsciiScan stop_scan_avx2(std::string_view sequence) noexcept {
    return stop_scan::plain_scan<Avx2Stops>(sequence);
}
MX_AVX2_TARGET MX_ENTRY AsciiScan stop_scan_with_gc_avx2(std::string_view sequence) noexcept {
    return stop_scan::scan_with_gc<Avx2Stops>(sequence);
}
MX_AVX2_TARGET MX_ENTRY LocatedScan located_scan_avx2(std::string_view sequence) noexcept {
    return stop_scan::located_scan<Avx2Stops>(sequence);
}

}  // namespace marlinox::analysis

#endif
