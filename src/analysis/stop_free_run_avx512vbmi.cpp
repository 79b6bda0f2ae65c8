// The avx512vbmi level of the ASCII stop scan (stop_free_run_ascii.cpp sets out
// the method): byte permutes find the stops of a block by table lookup, and the
// six frames are updated together in the lanes of one vector.

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>

#include "analysis/level_kernels.hpp"
#include "analysis/stop_free_run.hpp"
#include "analysis/stop_scan_frames.hpp"

#if defined(__x86_64__)
#include <immintrin.h>

namespace marlinox::analysis {
namespace {

using stop_scan::Frames;
using stop_scan::kBlock;
using stop_scan::kCodon;
using stop_scan::kPhase;
using stop_scan::kPrefetchBlocks;

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
constexpr std::size_t kShortText = 256;

struct WindowTables {
    __m512i first_low, first_high, second_low, second_high, third_low, third_high;
};

MX_INLINE MX_AVX512VBMI_TARGET __m512i load_table_half(const ByteTable& table, std::size_t half) noexcept {
    return _mm512_load_si512(table.data() + 64 * half);
}

// Forward and reverse stops of the windows that start in the 64 bytes at
// `block`; reads two bytes beyond them. Bytes from 0x80 on only index the
// tables modulo 128: the caller rejects such text through `high`.
struct StopMasks {
    std::uint64_t forward, reverse;
};

MX_INLINE MX_AVX512VBMI_TARGET StopMasks vector_stops(const unsigned char* block, const WindowTables& tables,
                                                      __m512i& high) noexcept {
    const __m512i at0 = _mm512_loadu_si512(block);
    const __m512i at1 = _mm512_loadu_si512(block + 1);
    const __m512i at2 = _mm512_loadu_si512(block + 2);
    high = _mm512_or_si512(high, at0);
    const __m512i first = _mm512_permutex2var_epi8(tables.first_low, at0, tables.first_high);
    const __m512i second = _mm512_permutex2var_epi8(tables.second_low, at1, tables.second_high);
    const __m512i third = _mm512_permutex2var_epi8(tables.third_low, at2, tables.third_high);
    const __m512i all_three = _mm512_ternarylogic_epi64(first, second, third, 0x80);
    return {_mm512_test_epi8_mask(all_three, _mm512_set1_epi8(kForwardPatterns)),
            _mm512_test_epi8_mask(all_three, _mm512_set1_epi8(kReversePatterns))};
}

// The branch-free update of Frames::stops for both strands at once: 64-bit lane
// l holds class l % 3 of the forward (l < 3) or reverse (l < 6) strand. Starts
// are kept relative to the current block's first position.
class VectorFrames {
public:
    MX_INLINE MX_AVX512VBMI_TARGET VectorFrames(const Frames& forward, const Frames& reverse, std::size_t base,
                                                const std::uint64_t phase[3]) noexcept {
        alignas(64) std::int64_t start[8] = {}, widest[8] = {};
        alignas(64) std::uint64_t phases[8] = {};
        for (unsigned r = 0; r < 3; ++r) {
            start[r] = static_cast<std::int64_t>(forward.start[r] - base);
            start[3 + r] = static_cast<std::int64_t>(reverse.start[r] - base);
            widest[r] = static_cast<std::int64_t>(std::max(forward.widest, forward.widest_in_class[r]));
            widest[3 + r] = static_cast<std::int64_t>(std::max(reverse.widest, reverse.widest_in_class[r]));
            phases[r] = phases[3 + r] = phase[r];
        }
        start_ = _mm512_load_si512(start);
        widest_ = _mm512_load_si512(widest);
        phase_ = _mm512_load_si512(phases);
    }

    MX_INLINE MX_AVX512VBMI_TARGET void stops(StopMasks masks) noexcept {
        const __m512i both = _mm512_mask_set1_epi64(_mm512_set1_epi64(static_cast<std::int64_t>(masks.forward)),
                                                    0b111000, static_cast<std::int64_t>(masks.reverse));
        const __m512i in_class = _mm512_and_si512(both, phase_);
        const __mmask8 any = _mm512_test_epi64_mask(in_class, in_class);
        const __m512i lowest = _mm512_and_si512(in_class, _mm512_sub_epi64(_mm512_setzero_si512(), in_class));
        const __m512i first = _mm512_sub_epi64(_mm512_set1_epi64(63), _mm512_lzcnt_epi64(lowest));
        widest_ = _mm512_mask_max_epi64(widest_, any, widest_, _mm512_sub_epi64(first, start_));
        // The next run starts after the last stop: 63 - lzcnt + 3, then one block on.
        start_ = _mm512_mask_sub_epi64(start_, any, _mm512_set1_epi64(63 + kCodon), _mm512_lzcnt_epi64(in_class));
        start_ = _mm512_sub_epi64(start_, _mm512_set1_epi64(kBlock));
        // Class r of the next block is class r + 2 of this one (64 leaves 1).
        phase_ = _mm512_permutexvar_epi64(_mm512_set_epi64(7, 6, 4, 3, 5, 1, 0, 2), phase_);
    }

    MX_INLINE MX_AVX512VBMI_TARGET void store(Frames& forward, Frames& reverse, std::size_t base) const noexcept {
        alignas(64) std::int64_t start[8], widest[8];
        _mm512_store_si512(start, start_);
        _mm512_store_si512(widest, widest_);
        for (unsigned r = 0; r < 3; ++r) {
            forward.start[r] = base + static_cast<std::size_t>(start[r]);
            reverse.start[r] = base + static_cast<std::size_t>(start[3 + r]);
            forward.widest_in_class[r] = static_cast<std::size_t>(widest[r]);
            reverse.widest_in_class[r] = static_cast<std::size_t>(widest[3 + r]);
        }
    }

private:
    __m512i start_, widest_, phase_;
};

MX_INLINE MX_AVX512VBMI_TARGET AsciiScan scan_avx512vbmi(std::string_view sequence) noexcept {
    const std::size_t m = sequence.size();
    if (m < kCodon) return {0, is_ascii(sequence)};
    const auto* bytes = reinterpret_cast<const unsigned char*>(sequence.data());
    const WindowTables tables{load_table_half(kWindowFirst, 0),  load_table_half(kWindowFirst, 1),
                              load_table_half(kWindowSecond, 0), load_table_half(kWindowSecond, 1),
                              load_table_half(kWindowThird, 0),  load_table_half(kWindowThird, 1)};
    // Blocks read 66 bytes; those that would pass the end of the text, at most
    // two, read a copy padded with NUL bytes, which are no letter.
    const std::size_t blocks = (m + kBlock - 1) / kBlock;
    const std::size_t direct = m >= kBlock + 2 ? (m - 2) / kBlock : 0;
    alignas(64) unsigned char tail[2 * kBlock + 2] = {};
    std::memcpy(tail, bytes + direct * kBlock, m - direct * kBlock);
    const auto block_at = [&](std::size_t index) {
        return index < direct ? bytes + index * kBlock : tail + (index - direct) * kBlock;
    };

    __m512i high = _mm512_setzero_si512();
    Frames forward, reverse;
    unsigned block_residue = 0;
    std::uint64_t phase[3] = {kPhase[0], kPhase[1], kPhase[2]};
    std::size_t index = 0;
    // Until some run is as wide as a block, gaps inside one block count too.
    for (; index < blocks && std::max(forward.widest, reverse.widest) < kBlock; ++index) {
        const StopMasks masks = vector_stops(block_at(index), tables, high);
        forward.stops(masks.forward, index * kBlock, phase, block_residue);
        reverse.stops(masks.reverse, index * kBlock, phase, block_residue);
        stop_scan::next_block(block_residue, phase);
    }
    if (index < blocks) {
        VectorFrames frames(forward, reverse, index * kBlock, phase);
        for (; index < blocks; ++index) {
            // The hardware prefetcher alone leaves this loop waiting on memory.
            if (index + kPrefetchBlocks < direct)
                _mm_prefetch(reinterpret_cast<const char*>(bytes + (index + kPrefetchBlocks) * kBlock), _MM_HINT_T0);
            frames.stops(vector_stops(block_at(index), tables, high));
        }
        frames.store(forward, reverse, index * kBlock);
    }
    forward.finish(m);
    reverse.finish(m);
    return {std::max(forward.widest, reverse.widest) / kCodon, _mm512_movepi8_mask(high) == 0};
}

}  // namespace

MX_AVX512VBMI_TARGET MX_ENTRY AsciiScan stop_scan_avx512vbmi(std::string_view sequence) noexcept {
    // A short read never reaches the vector frames, and sets up faster in the avx512 scan.
    if (sequence.size() < kShortText) return stop_scan_avx512(sequence);
    return scan_avx512vbmi(sequence);
}

// As the avx512 level does: the GC kernel after the scan.
MX_AVX512VBMI_TARGET MX_ENTRY AsciiScan stop_scan_with_gc_avx512vbmi(std::string_view sequence) noexcept {
    AsciiScan scan = stop_scan_avx512vbmi(sequence);
    scan.gc = count_gc_avx512(reinterpret_cast<const unsigned char*>(sequence.data()), sequence.size());
    return scan;
}

}  // namespace marlinox::analysis

#endif
