// The sse2 level of the stop scan, the x86_64 baseline: a block in four
// 16-byte parts, the stops of each taken as a bit mask by movemask.

#include <bit>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "analysis/level_kernels.hpp"
#include "analysis/stop_scan_grouped.hpp"
#include "analysis/stop_scan_set.hpp"

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

// The sum of the 16 byte lanes of `lanes`.
MX_INLINE std::size_t lane_sum(__m128i lanes) noexcept {
    const __m128i sums = _mm_sad_epu8(lanes, _mm_setzero_si128());
    return static_cast<std::size_t>(_mm_cvtsi128_si64(sums)) +
           static_cast<std::size_t>(_mm_cvtsi128_si64(_mm_unpackhi_epi64(sums, sums)));
}

// Letters counted in byte lanes (a match is -1: subtracting it adds one),
// not by popcounts, which are long sequences without the POPCNT instruction
// that the x86_64 baseline lacks. A block adds at most 4 to a lane; the
// lanes are emptied before they can wrap.
class LaneCounts {
public:
    // The matches of one 16-byte part: G or C; A, C, G or T.
    MX_INLINE void add_gc(__m128i gc) noexcept { gc_lanes_ = _mm_sub_epi8(gc_lanes_, gc); }
    MX_INLINE void add_acgt(__m128i acgt) noexcept { acgt_lanes_ = _mm_sub_epi8(acgt_lanes_, acgt); }
    MX_INLINE void block_done() noexcept {
        if (--blocks_until_emptying_ != 0) return;
        blocks_until_emptying_ = kBlocksPerEmptying;
        gc_ += lane_sum(gc_lanes_);
        acgt_ += lane_sum(acgt_lanes_);
        gc_lanes_ = acgt_lanes_ = _mm_setzero_si128();
    }
    MX_INLINE std::size_t acgt() const noexcept { return acgt_ + lane_sum(acgt_lanes_); }
    MX_INLINE std::size_t gc() const noexcept { return gc_ + lane_sum(gc_lanes_); }

private:
    static constexpr unsigned kBlocksPerEmptying = 255 / (kBlock / 16);

    __m128i gc_lanes_ = _mm_setzero_si128(), acgt_lanes_ = _mm_setzero_si128();
    unsigned blocks_until_emptying_ = kBlocksPerEmptying;
    std::size_t acgt_ = 0, gc_ = 0;
};

template <Count count>
class Sse2Stops {
public:
    MX_INLINE BlockStops block(const unsigned char* p) noexcept { return stops<true>(p); }
    MX_INLINE BlockStops peek(const unsigned char* p) noexcept { return stops<false>(p); }
    // Non-ASCII bytes are gathered in a vector and tested once, at the end.
    MX_INLINE bool ascii() const noexcept { return _mm_movemask_epi8(high_) == 0; }
    MX_INLINE std::size_t acgt() const noexcept { return counts_.acgt(); }
    MX_INLINE std::size_t gc() const noexcept { return counts_.gc(); }

private:
    template <bool note>
    MX_INLINE BlockStops stops(const unsigned char* p) noexcept {
        BlockStops out;
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
                if constexpr (count != Count::none) {
                    const __m128i gc = _mm_or_si128(c0, _mm_cmpeq_epi8(x0, g));
                    counts_.add_gc(gc);
                    if constexpr (count == Count::letters)
                        counts_.add_acgt(_mm_or_si128(_mm_or_si128(t0, gc), _mm_cmpeq_epi8(x0, a)));
                }
            }
        }
        if constexpr (note && count != Count::none) counts_.block_done();
        return out;
    }

    __m128i high_ = _mm_setzero_si128();
    LaneCounts counts_;
};

// The letters of a block for a stop set given at run time: four compares of
// each quarter, which also count the letters.
template <Count count>
class Sse2Letters {
public:
    template <bool note>
    MX_INLINE stop_scan::BlockLetters letters(const unsigned char* p) noexcept {
        stop_scan::BlockLetters out{};
        const __m128i fold = _mm_set1_epi8(kFold);
        // The two bytes after the block are the last two of the 16 at p + 50.
        const __m128i last = _mm_or_si128(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + kBlock + 2 - 16)), fold);
        constexpr char kLetters[] = "acgt";
        MX_UNROLL for (unsigned base = 0; base < 4; ++base)
            out.next[base] = bits_of(_mm_cmpeq_epi8(last, _mm_set1_epi8(kLetters[base]))) >> 14;
        MX_UNROLL for (unsigned part = 0; part < kBlock / 16; ++part) {
            const __m128i raw = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16 * part));
            const __m128i x = _mm_or_si128(raw, fold);
            const __m128i a = _mm_cmpeq_epi8(x, _mm_set1_epi8('a')), c = _mm_cmpeq_epi8(x, _mm_set1_epi8('c'));
            const __m128i g = _mm_cmpeq_epi8(x, _mm_set1_epi8('g')), t = _mm_cmpeq_epi8(x, _mm_set1_epi8('t'));
            const unsigned shift = 16 * part;
            out.here[0] |= bits_of(a) << shift;
            out.here[1] |= bits_of(c) << shift;
            out.here[2] |= bits_of(g) << shift;
            out.here[3] |= bits_of(t) << shift;
            if constexpr (note) {
                high_ = _mm_or_si128(high_, raw);
                const __m128i gc = _mm_or_si128(c, g);
                if constexpr (count != Count::none) counts_.add_gc(gc);
                if constexpr (count == Count::letters) counts_.add_acgt(_mm_or_si128(gc, _mm_or_si128(a, t)));
            }
        }
        if constexpr (note && count != Count::none) counts_.block_done();
        return out;
    }
    MX_INLINE bool ascii() const noexcept { return _mm_movemask_epi8(high_) == 0; }
    MX_INLINE std::size_t acgt() const noexcept { return counts_.acgt(); }
    MX_INLINE std::size_t gc() const noexcept { return counts_.gc(); }

private:
    __m128i high_ = _mm_setzero_si128();
    LaneCounts counts_;
};

template <CodonSet kStops>
struct Sse2FixedSet {
    template <Count count>
    using Detector = stop_scan::SetStops<count, Sse2Letters<count>, kStops>;
};

// The genetic codes' stop sets of three and four codons, other than the
// standard one, whose terms over letter masks cost this level the most when
// read from a table: `scan` for one of them runs on terms compiled in, which
// keep the letters in registers; for any other set on the table's terms.
template <class Scan>
MX_INLINE auto by_stop_set(CodonSet stops, Scan scan) noexcept {
    constexpr CodonSet kVertebrateMitochondrial = codons_of("TAA,TAG,AGA,AGG");
    constexpr CodonSet kScenedesmusMitochondrial = codons_of("TCA,TAA,TGA");
    constexpr CodonSet kThraustochytriumMitochondrial = codons_of("TTA,TAA,TAG,TGA");
    switch (stops) {
    case kVertebrateMitochondrial: return scan.template operator()<Sse2FixedSet<kVertebrateMitochondrial>>();
    case kScenedesmusMitochondrial: return scan.template operator()<Sse2FixedSet<kScenedesmusMitochondrial>>();
    case kThraustochytriumMitochondrial:
        return scan.template operator()<Sse2FixedSet<kThraustochytriumMitochondrial>>();
    default: return scan.template operator()<Sse2FixedSet<0>>();
    }
}

}  // namespace

MX_ENTRY AsciiScan set_scan_with_gc_sse2(std::string_view sequence, CodonSet stops) noexcept {
    return by_stop_set(stops, [&]<class Set>() {
        return stop_scan::scan_with_gc<Set::template Detector>(sequence, stops);
    });
}
MX_ENTRY LocatedScan located_set_scan_sse2(std::string_view sequence, CodonSet stops) noexcept {
    return by_stop_set(stops, [&]<class Set>() {
        return stop_scan::located_scan<Set::template Detector>(sequence, stops);
    });
}
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
