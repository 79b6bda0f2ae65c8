// The avx512vbmi level of the stop scan (avx512 plus CD and VBMI): byte
// permutes find the stops of a block by table lookup.

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>

#include "analysis/level_kernels.hpp"
#include "analysis/stop_scan_avx512.hpp"
#include "analysis/stop_scan_grouped.hpp"

#if defined(__x86_64__)
#include <immintrin.h>

namespace marlinox::analysis {
namespace {

using stop_scan::BlockStops;

// Each byte is looked up in three tables, one per place in the window (0, 1, 2),
// with bit j of the entry meaning "this letter may stand here in pattern j".
// The three bytes of the window at p, ANDed, keep bit j exactly when the window
// reads pattern j: 0 = T A [AG], 1 = T G A (the forward stops), 2 = [CT] T A,
// 3 = T C A (the reverse ones).
using ByteTable = std::array<std::uint8_t, 128>;

constexpr ByteTable window_table(std::uint8_t t, std::uint8_t a, std::uint8_t g, std::uint8_t c) {
    ByteTable table{};
    for (const char letter : {'T', 't'}) table[static_cast<unsigned char>(letter)] = t;
    for (const char letter : {'A', 'a'}) table[static_cast<unsigned char>(letter)] = a;
    for (const char letter : {'G', 'g'}) table[static_cast<unsigned char>(letter)] = g;
    for (const char letter : {'C', 'c'}) table[static_cast<unsigned char>(letter)] = c;
    return table;
}

alignas(64) constexpr ByteTable kWindowFirst = window_table(0b1111, 0, 0, 0b0100);
alignas(64) constexpr ByteTable kWindowSecond = window_table(0b0100, 0b0001, 0b0010, 0b1000);
alignas(64) constexpr ByteTable kWindowThird = window_table(0, 0b1111, 0b0001, 0);
constexpr char kForwardPatterns = 0b0011;
constexpr char kReversePatterns = 0b1100;

MX_INLINE MX_AVX512VBMI_TARGET __m512i load_table_half(const ByteTable& table, std::size_t half) noexcept {
    return _mm512_load_si512(table.data() + 64 * half);
}

// Forward and reverse stops of each block by three table lookups per byte.
// Bytes from 0x80 on only index the tables modulo 128: ascii() rejects them.
class VbmiStops {
public:
    MX_AVX512VBMI_TARGET VbmiStops() noexcept
        : first_low_(load_table_half(kWindowFirst, 0)), first_high_(load_table_half(kWindowFirst, 1)),
          second_low_(load_table_half(kWindowSecond, 0)), second_high_(load_table_half(kWindowSecond, 1)),
          third_low_(load_table_half(kWindowThird, 0)), third_high_(load_table_half(kWindowThird, 1)),
          high_(_mm512_setzero_si512()) {}
    MX_AVX512VBMI_TARGET BlockStops block(const unsigned char* p) noexcept {
        const __m512i raw = _mm512_loadu_si512(p);
        high_ = _mm512_or_si512(high_, raw);
        return stops(raw, _mm512_loadu_si512(p + 1), _mm512_loadu_si512(p + 2));
    }
    MX_AVX512VBMI_TARGET BlockStops peek(const unsigned char* p) noexcept {
        return stops(_mm512_loadu_si512(p), _mm512_loadu_si512(p + 1), _mm512_loadu_si512(p + 2));
    }
    MX_AVX512VBMI_TARGET BlockStops part_block(const unsigned char* p, std::size_t n) noexcept {
        const unsigned char* end = p + n;
        const __m512i raw = stop_scan::load_before(p, end);
        high_ = _mm512_or_si512(high_, raw);
        return stops(raw, stop_scan::load_before(p + 1, end), stop_scan::load_before(p + 2, end));
    }
    MX_AVX512VBMI_TARGET bool ascii() const noexcept { return _mm512_movepi8_mask(high_) == 0; }

private:
    // `raw`, `next` and `after`: the block's bytes from its first, second and
    // third byte on.
    MX_AVX512VBMI_TARGET BlockStops stops(__m512i raw, __m512i next, __m512i after) const noexcept {
        const __m512i first = _mm512_permutex2var_epi8(first_low_, raw, first_high_);
        const __m512i second = _mm512_permutex2var_epi8(second_low_, next, second_high_);
        const __m512i third = _mm512_permutex2var_epi8(third_low_, after, third_high_);
        const __m512i all_three = _mm512_ternarylogic_epi64(first, second, third, 0x80);
        return {_mm512_test_epi8_mask(all_three, _mm512_set1_epi8(kForwardPatterns)),
                _mm512_test_epi8_mask(all_three, _mm512_set1_epi8(kReversePatterns))};
    }

    __m512i first_low_, first_high_, second_low_, second_high_, third_low_, third_high_;
    __m512i high_;
};

// For a stop set given at run time: the three bytes of each window are looked
// up as parts of the codon's number (first base times 16, second times 4,
// third), the parts ORed, and the number looked up in a table of 64 entries,
// bit 0 "a forward stop", bit 1 "a reverse stop". A byte that is no letter
// sets bit 6 of its part, which sends the number to an empty second table.
// Bit 7 of the first part marks G and C, and bit 6 the bytes that are no
// letter, for the counts.
constexpr std::uint8_t kNoLetter = 0x40, kGcLetter = 0x80;

constexpr ByteTable codon_part_table(unsigned weight, bool mark_gc) {
    ByteTable table{};
    table.fill(kNoLetter);
    constexpr char kBases[] = "ACGT";
    for (unsigned base = 0; base < 4; ++base) {
        const auto part = static_cast<std::uint8_t>(base * weight | (mark_gc && (base == 1 || base == 2) ? kGcLetter : 0));
        table[static_cast<unsigned char>(kBases[base])] = part;
        table[static_cast<unsigned char>(kBases[base]) | kFold] = part;
    }
    return table;
}

alignas(64) constexpr ByteTable kFirstPart = codon_part_table(16, true);
alignas(64) constexpr ByteTable kSecondPart = codon_part_table(4, false);
alignas(64) constexpr ByteTable kThirdPart = codon_part_table(1, false);

template <stop_scan::Count count>
class VbmiSetStops {
public:
    MX_AVX512VBMI_TARGET explicit VbmiSetStops(CodonSet stops) noexcept
        : first_low_(load_table_half(kFirstPart, 0)), first_high_(load_table_half(kFirstPart, 1)),
          second_low_(load_table_half(kSecondPart, 0)), second_high_(load_table_half(kSecondPart, 1)),
          third_low_(load_table_half(kThirdPart, 0)), third_high_(load_table_half(kThirdPart, 1)),
          codons_(codon_table(stops)), high_(_mm512_setzero_si512()) {}
    MX_AVX512VBMI_TARGET BlockStops block(const unsigned char* p) noexcept {
        return stops<true>(_mm512_loadu_si512(p), _mm512_loadu_si512(p + 1), _mm512_loadu_si512(p + 2));
    }
    MX_AVX512VBMI_TARGET BlockStops peek(const unsigned char* p) noexcept {
        return stops<false>(_mm512_loadu_si512(p), _mm512_loadu_si512(p + 1), _mm512_loadu_si512(p + 2));
    }
    MX_AVX512VBMI_TARGET BlockStops part_block(const unsigned char* p, std::size_t n) noexcept {
        const unsigned char* end = p + n;
        return stops<true>(stop_scan::load_before(p, end), stop_scan::load_before(p + 1, end),
                           stop_scan::load_before(p + 2, end));
    }
    MX_AVX512VBMI_TARGET bool ascii() const noexcept { return _mm512_movepi8_mask(high_) == 0; }
    MX_INLINE std::size_t acgt() const noexcept { return acgt_; }
    MX_INLINE std::size_t gc() const noexcept { return gc_; }

private:
    MX_AVX512VBMI_TARGET static __m512i codon_table(CodonSet stops) noexcept {
        alignas(64) std::uint8_t entries[64];
        const CodonSet reverse = reverse_complement_codons(stops);
        for (unsigned codon = 0; codon < 64; ++codon)
            entries[codon] = static_cast<std::uint8_t>(((stops >> codon) & 1u) | (((reverse >> codon) & 1u) << 1));
        return _mm512_load_si512(entries);
    }

    template <bool note>
    MX_AVX512VBMI_TARGET BlockStops stops(__m512i raw, __m512i next, __m512i after) noexcept {
        const __m512i first = _mm512_permutex2var_epi8(first_low_, raw, first_high_);
        const __m512i second = _mm512_permutex2var_epi8(second_low_, next, second_high_);
        const __m512i third = _mm512_permutex2var_epi8(third_low_, after, third_high_);
        // OR of the three parts.
        const __m512i codon = _mm512_ternarylogic_epi64(first, second, third, 0xFE);
        const __m512i entry = _mm512_permutex2var_epi8(codons_, codon, _mm512_setzero_si512());
        if constexpr (note) {
            high_ = _mm512_or_si512(high_, raw);
            if constexpr (count != stop_scan::Count::none)
                gc_ += static_cast<std::size_t>(std::popcount(_mm512_movepi8_mask(first)));
            if constexpr (count == stop_scan::Count::letters)
                acgt_ += static_cast<std::size_t>(
                    std::popcount(_mm512_testn_epi8_mask(first, _mm512_set1_epi8(kNoLetter))));
        }
        return {_mm512_test_epi8_mask(entry, _mm512_set1_epi8(1)), _mm512_test_epi8_mask(entry, _mm512_set1_epi8(2))};
    }

    __m512i first_low_, first_high_, second_low_, second_high_, third_low_, third_high_;
    __m512i codons_;
    __m512i high_;
    std::size_t acgt_ = 0, gc_ = 0;
};

}  // namespace

MX_AVX512VBMI_TARGET MX_ENTRY AsciiScan set_scan_with_gc_avx512vbmi(std::string_view sequence, CodonSet stops) noexcept {
    return stop_scan::scan_with_gc<VbmiSetStops>(sequence, stops);
}
MX_AVX512VBMI_TARGET MX_ENTRY LocatedScan located_set_scan_avx512vbmi(std::string_view sequence,
                                                                      CodonSet stops) noexcept {
    return stop_scan::located_scan<VbmiSetStops>(sequence, stops);
}

MX_AVX512VBMI_TARGET MX_ENTRY AsciiScan stop_scan_avx512vbmi(std::string_view sequence) noexcept {
    VbmiStops detect;
    return stop_scan::grouped_scan<false>(sequence, detect);
}

}  // namespace marlinox::analysis

#endif
