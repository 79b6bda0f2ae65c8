// The stop-free run kernel for ASCII text, in one pass and without copies.
//
// On ASCII text upper-casing keeps every byte in place, and window k of the
// reverse complement of an m-byte text covers the forward bytes m-3-k .. m-1-k.
// Reverse frame f therefore reads, backwards, exactly the windows that start at
// the forward positions congruent to m-f modulo 3, while forward frame f reads
// those congruent to f: each residue class of window starts carries one forward
// and one reverse frame. A window is a forward stop when it reads TAA, TAG or
// TGA, and a reverse stop when it reads TTA, CTA or TCA (the reverse complements
// of the stops). The longest run of a frame is the widest gap between
// consecutive stops of its class, counting the class's first window and the end
// of its last window as the outer limits; a gap's width does not depend on the
// direction it is read in.
//
// The scans here classify 64 bytes at a time into bit masks of T, A, G and C
// (either case) and combine them into masks of forward and reverse stops. The
// avx512 level visits only the stops; the portable level keeps the frames by
// groups of blocks, as the vector levels do (stop_scan_grouped.hpp). The same
// pass notes whether any byte is 0x80 or above, so callers need no separate
// ASCII check.
// The scan is one template, inlined into one entry function per level
// (level_kernels.hpp), so that each entry is compiled for its own instruction
// set and nothing compiled for a wider one is ever shared with the others.
// The sse2, avx2 and neon levels find the stops in vector registers
// (stop_free_run_vector.cpp); the avx512vbmi level finds them by table
// lookups (stop_free_run_avx512vbmi.cpp).
// Defining MARLINOX_PORTABLE_SCAN makes the plain 64-bit classification the
// selected one on any target, so it can be tested anywhere.

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>
#include <optional>

#include "analysis/level_kernels.hpp"
#include "analysis/stop_free_run.hpp"
#include "analysis/stop_scan_frames.hpp"
#include "analysis/stop_scan_grouped.hpp"

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace marlinox::analysis {
namespace {

using stop_scan::Frames;
using stop_scan::kBlock;
using stop_scan::kCodon;
using stop_scan::kPhase;
using stop_scan::kPrefetchBlocks;

// Bit k is set when byte k of the block is that letter, in either case.
// `high` is not zero when some byte of the block is 0x80 or above.
struct Letters {
    std::uint64_t t = 0, a = 0, g = 0, c = 0;
    std::uint64_t high = 0;
};

// --- Portable classification ---------------------------------------------------

constexpr std::uint64_t kOnes = 0x0101010101010101u;
constexpr std::uint64_t kLow7 = 0x7F7F7F7F7F7F7F7Fu;
constexpr std::uint64_t kHigh = 0x8080808080808080u;

// One bit per byte of `word` (byte i -> bit i) for the bytes equal to `letter`.
MX_INLINE std::uint64_t equal_bytes(std::uint64_t word, unsigned char letter) noexcept {
    const std::uint64_t diff = word ^ (kOnes * letter);
    // High bit of each byte that is zero; exact, no borrow between bytes.
    const std::uint64_t zero = ~(((diff & kLow7) + kLow7) | diff | kLow7);
    // Gather the eight high bits into the top byte, byte i to bit 56 + i.
    return ((zero >> 7) * 0x0102040810204080u) >> 56;
}

MX_INLINE Letters classify_portable(const unsigned char* block) noexcept {
    Letters out;
    MX_UNROLL for (unsigned part = 0; part < kBlock / 8; ++part) {
        std::uint64_t word;
        std::memcpy(&word, block + 8 * part, 8);
        if constexpr (std::endian::native == std::endian::big) word = __builtin_bswap64(word);
        out.high |= word & kHigh;
        word |= kOnes * kFold;
        const unsigned shift = 8 * part;
        out.t |= equal_bytes(word, 't') << shift;
        out.a |= equal_bytes(word, 'a') << shift;
        out.g |= equal_bytes(word, 'g') << shift;
        out.c |= equal_bytes(word, 'c') << shift;
    }
    return out;
}

// --- x86_64 classification ------------------------------------------------------

#if defined(__x86_64__)

MX_AVX512_TARGET inline Letters classify_avx512(const unsigned char* block) noexcept {
    const __m512i raw = _mm512_loadu_si512(block);
    const __m512i bytes = _mm512_or_si512(raw, _mm512_set1_epi8(kFold));
    Letters out;
    out.high = _mm512_movepi8_mask(raw);
    out.t = _mm512_cmpeq_epi8_mask(bytes, _mm512_set1_epi8('t'));
    out.a = _mm512_cmpeq_epi8_mask(bytes, _mm512_set1_epi8('a'));
    out.g = _mm512_cmpeq_epi8_mask(bytes, _mm512_set1_epi8('g'));
    out.c = _mm512_cmpeq_epi8_mask(bytes, _mm512_set1_epi8('c'));
    return out;
}

#endif

// Bits of `mask` moved down by `by` positions, the low bits of `next` following.
MX_INLINE std::uint64_t ahead(std::uint64_t mask, std::uint64_t next, unsigned by) noexcept {
    return (mask >> by) | (next << (64 - by));
}

// The portable level's stops for the grouped scan: the block's letter masks,
// and the letters of the two bytes after it, which the last windows read.
template <stop_scan::Count count>
class PortableStops {
public:
    MX_INLINE stop_scan::BlockStops block(const unsigned char* p) noexcept { return stops<true>(p); }
    MX_INLINE stop_scan::BlockStops peek(const unsigned char* p) noexcept { return stops<false>(p); }
    MX_INLINE bool ascii() const noexcept { return high_ == 0; }
    MX_INLINE std::size_t acgt() const noexcept { return acgt_; }
    MX_INLINE std::size_t gc() const noexcept { return gc_; }

private:
    template <bool note>
    MX_INLINE stop_scan::BlockStops stops(const unsigned char* p) noexcept {
        const Letters now = classify_portable(p);
        const auto is = [&](unsigned k, unsigned char letter) {
            return static_cast<std::uint64_t>((p[kBlock + k] | kFold) == letter);
        };
        // Bits 0 and 1: the letters of the two bytes after the block.
        const std::uint64_t next_t = is(0, 't'), next_c = is(0, 'c');
        const std::uint64_t next_a = is(0, 'a') | (is(1, 'a') << 1), next_g = is(0, 'g') | (is(1, 'g') << 1);
        if constexpr (note) {
            high_ |= now.high;
            if constexpr (count != stop_scan::Count::none) gc_ += static_cast<std::size_t>(std::popcount(now.g | now.c));
            if constexpr (count == stop_scan::Count::letters)
                acgt_ += static_cast<std::size_t>(std::popcount(now.t | now.a | now.g | now.c));
        }
        const std::uint64_t t1 = ahead(now.t, next_t, 1);
        const std::uint64_t a1 = ahead(now.a, next_a, 1), a2 = ahead(now.a, next_a, 2);
        const std::uint64_t g1 = ahead(now.g, next_g, 1), g2 = ahead(now.g, next_g, 2);
        const std::uint64_t c1 = ahead(now.c, next_c, 1);
        return {now.t & ((a1 & (a2 | g2)) | (g1 & a2)), a2 & ((t1 & (now.t | now.c)) | (c1 & now.t))};
    }

    std::uint64_t high_ = 0;
    std::size_t acgt_ = 0, gc_ = 0;
};

bool is_acgt(unsigned char byte) noexcept {
    const unsigned char folded = byte | kFold;
    return folded == 'a' || folded == 'c' || folded == 'g' || folded == 't';
}

// The one scan of every level. The located form also keeps where each class's
// widest gap ends and counts the letters A, C, G and T, and G and C; its run is
// the plain form's by construction, since both measure the same gaps.
template <Letters (*classify)(const unsigned char*) noexcept, bool located>
MX_INLINE auto scan(std::string_view sequence) noexcept {
    using Forward = stop_scan::FramesOf<located ? stop_scan::Keep::first : stop_scan::Keep::width>;
    using Reverse = stop_scan::FramesOf<located ? stop_scan::Keep::last : stop_scan::Keep::width>;
    const std::size_t m = sequence.size();
    // No window: an ASCII text this short scores 0. (Upper-casing may lengthen
    // a non-ASCII one, so that one still goes to the literal kernel.)
    if (m < kCodon) {
        if constexpr (located) return located_scan_without_windows(sequence);
        else return AsciiScan{0, is_ascii(sequence)};
    }
    const auto* bytes = reinterpret_cast<const unsigned char*>(sequence.data());
    const std::size_t full_blocks = m / kBlock;
    const std::size_t blocks = (m + kBlock - 1) / kBlock;
    // The last, partial block padded with NUL bytes, which are no letter, so no
    // stop reaches past the end of the text.
    unsigned char tail[kBlock] = {};
    std::memcpy(tail, bytes + full_blocks * kBlock, m - full_blocks * kBlock);
    std::uint64_t high = 0;
    std::size_t acgt = 0, gc = 0;
    const auto classify_block = [&](std::size_t index) {
        if (index >= blocks) return Letters{};
        const Letters letters = classify(index < full_blocks ? bytes + index * kBlock : tail);
        high |= letters.high;
        if constexpr (located) {
            acgt += static_cast<std::size_t>(std::popcount(letters.t | letters.a | letters.g | letters.c));
            gc += static_cast<std::size_t>(std::popcount(letters.g | letters.c));
        }
        return letters;
    };

    Forward forward;
    Reverse reverse;
    Letters now = classify_block(0);
    unsigned block_residue = 0;
    std::uint64_t phase[3] = {kPhase[0], kPhase[1], kPhase[2]};
    const auto step = [&](std::size_t index) {
        const Letters next = classify_block(index + 1);
        // Letters one and two bytes after each position.
        const std::uint64_t t1 = ahead(now.t, next.t, 1);
        const std::uint64_t a1 = ahead(now.a, next.a, 1), a2 = ahead(now.a, next.a, 2);
        const std::uint64_t g1 = ahead(now.g, next.g, 1), g2 = ahead(now.g, next.g, 2);
        const std::uint64_t c1 = ahead(now.c, next.c, 1);
        // TAA, TAG, TGA at p; and TTA, CTA, TCA.
        const std::uint64_t forward_stops = now.t & ((a1 & (a2 | g2)) | (g1 & a2));
        const std::uint64_t reverse_stops = a2 & ((t1 & (now.t | now.c)) | (c1 & now.t));
        forward.stops(forward_stops, index * kBlock, phase, block_residue);
        reverse.stops(reverse_stops, index * kBlock, phase, block_residue);
        now = next;
        stop_scan::next_block(block_residue, phase);
    };
    // The hardware prefetcher alone leaves the scan of a long text waiting on
    // memory. A short text runs only the second loop, with no test per block.
    const std::size_t prefetched = full_blocks > kPrefetchBlocks ? full_blocks - kPrefetchBlocks : 0;
    std::size_t index = 0;
    for (; index < prefetched; ++index) {
        __builtin_prefetch(bytes + (index + kPrefetchBlocks) * kBlock);
        step(index);
    }
    for (; index < blocks; ++index) step(index);
    forward.finish(m);
    reverse.finish(m);
    if constexpr (located) {
        const stop_scan::WidestGap gap = stop_scan::widest_gap(forward, reverse, m);
        return LocatedScan{gap.width / kCodon, high == 0, gap.reverse, gap.frame, gap.end - gap.width, gap.end,
                           acgt, gc};
    } else {
        return AsciiScan{std::max(forward.widest, reverse.widest) / kCodon, high == 0};
    }
}

}  // namespace

LocatedScan located_scan_without_windows(std::string_view sequence) noexcept {
    LocatedScan out;
    out.ascii = is_ascii(sequence);
    for (const char byte : sequence) {
        const unsigned char folded = static_cast<unsigned char>(byte) | kFold;
        out.acgt += is_acgt(static_cast<unsigned char>(byte)) ? 1 : 0;
        out.gc += folded == 'g' || folded == 'c' ? 1 : 0;
    }
    return out;
}

MX_ENTRY AsciiScan stop_scan_portable(std::string_view sequence) noexcept {
    PortableStops<stop_scan::Count::none> detect;
    return stop_scan::grouped_scan<false>(sequence, detect);
}
MX_ENTRY AsciiScan stop_scan_with_gc_portable(std::string_view sequence) noexcept {
    PortableStops<stop_scan::Count::gc> detect;
    return stop_scan::grouped_scan_with_gc(sequence, detect);
}
MX_ENTRY LocatedScan located_scan_portable(std::string_view sequence) noexcept {
    PortableStops<stop_scan::Count::letters> detect;
    return stop_scan::grouped_scan<true>(sequence, detect);
}
#if defined(__x86_64__)
MX_AVX512_TARGET MX_ENTRY AsciiScan stop_scan_avx512(std::string_view sequence) noexcept {
    return scan<classify_avx512, false>(sequence);
}
// The avx512 scans keep their own loop; the GC kernel reads the text again,
// from the cache for a short text.
MX_AVX512_TARGET MX_ENTRY AsciiScan stop_scan_with_gc_avx512(std::string_view sequence) noexcept {
    AsciiScan scan = stop_scan_avx512(sequence);
    scan.gc = count_gc_avx512(reinterpret_cast<const unsigned char*>(sequence.data()), sequence.size());
    return scan;
}
MX_AVX512_TARGET MX_ENTRY LocatedScan located_scan_avx512(std::string_view sequence) noexcept {
    return scan<classify_avx512, true>(sequence);
}
#endif
namespace {

std::optional<std::size_t> run_if_ascii(AsciiScan result) noexcept {
    if (!result.ascii) return std::nullopt;
    return result.run;
}

}  // namespace

std::size_t stop_free_run_ascii(std::string_view sequence) noexcept {
    return selected_kernels().stop_scan(sequence).run;
}

std::optional<std::size_t> stop_free_run_if_ascii(std::string_view sequence) noexcept {
    return run_if_ascii(selected_kernels().stop_scan(sequence));
}

std::optional<std::size_t> stop_free_run_if_ascii(std::string_view sequence, ScanLevel level) noexcept {
    return run_if_ascii(kernels_for(level).stop_scan(sequence));
}

namespace {

std::optional<RunAndGc> run_and_gc_if_ascii(AsciiScan scan) noexcept {
    if (!scan.ascii) return std::nullopt;
    return RunAndGc{scan.run, scan.gc};
}

}  // namespace

std::optional<RunAndGc> stop_free_run_and_gc_if_ascii(std::string_view sequence) noexcept {
    return run_and_gc_if_ascii(selected_kernels().stop_scan_with_gc(sequence));
}

std::optional<RunAndGc> stop_free_run_and_gc_if_ascii(std::string_view sequence, ScanLevel level) noexcept {
    return run_and_gc_if_ascii(kernels_for(level).stop_scan_with_gc(sequence));
}

namespace {

std::optional<LocatedRun> located_if_ascii(const LocatedScan& scan, std::size_t length) noexcept {
    if (!scan.ascii) return std::nullopt;
    return LocatedRun{scan.run, scan.reverse, scan.frame, scan.start, scan.end, length - scan.acgt, scan.gc};
}

}  // namespace

std::optional<LocatedRun> locate_stop_free_run_if_ascii(std::string_view sequence) noexcept {
    return located_if_ascii(selected_kernels().located_scan(sequence), sequence.size());
}

std::optional<LocatedRun> locate_stop_free_run_if_ascii(std::string_view sequence, ScanLevel level) noexcept {
    return located_if_ascii(kernels_for(level).located_scan(sequence), sequence.size());
}

bool is_ascii(std::string_view text) noexcept {
    const char* p = text.data();
    std::size_t left = text.size();
    std::uint64_t high = 0;
    for (; left >= 8; p += 8, left -= 8) {
        std::uint64_t word;
        std::memcpy(&word, p, 8);
        high |= word;
    }
    for (; left > 0; ++p, --left) high |= static_cast<unsigned char>(*p);
    return (high & 0x8080808080808080u) == 0;
}

}  // namespace marlinox::analysis
