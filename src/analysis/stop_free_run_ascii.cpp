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
// The scan classifies 64 bytes at a time into bit masks of T, A, G and C (either
// case), combines them into masks of forward and reverse stops, and visits only
// the stops. Defining MARLINOX_PORTABLE_SCAN selects the plain 64-bit
// classification that targets without SSE2 use, so it can be tested anywhere.

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <cstring>

#include "analysis/stop_free_run.hpp"

#if defined(__SSE2__) && !defined(MARLINOX_PORTABLE_SCAN)
#include <emmintrin.h>
#endif

namespace marlinox::analysis {
namespace {

constexpr std::size_t kBlock = 64;
constexpr std::size_t kCodon = 3;

// Bit k is set when byte k of the block is that letter, in either case.
struct Letters {
    std::uint64_t t = 0, a = 0, g = 0, c = 0;
};

#if defined(__SSE2__) && !defined(MARLINOX_PORTABLE_SCAN)

Letters classify(const unsigned char* block) noexcept {
    const __m128i fold = _mm_set1_epi8(0x20);  // 'T' | 0x20 == 't'; no other byte folds onto it
    const __m128i t = _mm_set1_epi8('t'), a = _mm_set1_epi8('a');
    const __m128i g = _mm_set1_epi8('g'), c = _mm_set1_epi8('c');
    const auto bits = [](__m128i equal) {
        return static_cast<std::uint64_t>(static_cast<std::uint16_t>(_mm_movemask_epi8(equal)));
    };
    Letters out;
    for (unsigned part = 0; part < kBlock / 16; ++part) {
        const __m128i bytes = _mm_or_si128(
            _mm_loadu_si128(reinterpret_cast<const __m128i*>(block + 16 * part)), fold);
        const unsigned shift = 16 * part;
        out.t |= bits(_mm_cmpeq_epi8(bytes, t)) << shift;
        out.a |= bits(_mm_cmpeq_epi8(bytes, a)) << shift;
        out.g |= bits(_mm_cmpeq_epi8(bytes, g)) << shift;
        out.c |= bits(_mm_cmpeq_epi8(bytes, c)) << shift;
    }
    return out;
}

#else

constexpr std::uint64_t kOnes = 0x0101010101010101u;
constexpr std::uint64_t kLow7 = 0x7F7F7F7F7F7F7F7Fu;

// One bit per byte of `word` (byte i -> bit i) for the bytes equal to `letter`.
std::uint64_t equal_bytes(std::uint64_t word, unsigned char letter) noexcept {
    const std::uint64_t diff = word ^ (kOnes * letter);
    // High bit of each byte that is zero; exact, no borrow between bytes.
    const std::uint64_t zero = ~(((diff & kLow7) + kLow7) | diff | kLow7);
    // Gather the eight high bits into the top byte, byte i to bit 56 + i.
    return ((zero >> 7) * 0x0102040810204080u) >> 56;
}

Letters classify(const unsigned char* block) noexcept {
    Letters out;
    for (unsigned part = 0; part < kBlock / 8; ++part) {
        std::uint64_t word;
        std::memcpy(&word, block + 8 * part, 8);
        if constexpr (std::endian::native == std::endian::big) word = __builtin_bswap64(word);
        word |= kOnes * 0x20;  // 'T' | 0x20 == 't'; no other byte folds onto it
        const unsigned shift = 8 * part;
        out.t |= equal_bytes(word, 't') << shift;
        out.a |= equal_bytes(word, 'a') << shift;
        out.g |= equal_bytes(word, 'g') << shift;
        out.c |= equal_bytes(word, 'c') << shift;
    }
    return out;
}

#endif

// Bits of `mask` moved down by `by` positions, the low bits of `next` following.
std::uint64_t ahead(std::uint64_t mask, std::uint64_t next, unsigned by) noexcept {
    return (mask >> by) | (next << (64 - by));
}

// Residue class of position k of a block whose first position is in class r:
// kResidue[r + k].
constexpr std::array<std::uint8_t, kBlock + 2> kResidue = [] {
    std::array<std::uint8_t, kBlock + 2> residue{};
    for (std::size_t k = 0; k < residue.size(); ++k) residue[k] = static_cast<std::uint8_t>(k % 3);
    return residue;
}();

// Positions k of a block with k % 3 == 0, 1 and 2.
constexpr std::uint64_t kPhase[3] = {0x9249249249249249u, 0x2492492492492492u,
                                     0x4924924924924924u};

// Widest stop-free gap, in bytes, of the three frames of one strand.
class Frames {
public:
    // Start of the current run of each class: its first window, then the end of
    // the class's latest stop.
    std::size_t start[3] = {0, 1, 2};
    std::size_t widest = 0;

    // `phase[r]` selects the positions of the block that belong to class r.
    void stops(std::uint64_t mask, std::size_t base, const std::uint64_t phase[3],
               unsigned block_residue) noexcept {
        if (widest < kBlock) {
            every_stop(mask, base, block_residue);
            return;
        }
        // A gap between two stops of one block is narrower than the block, so
        // only the gap that ends at the first stop of each class can widen the
        // widest, and only the last stop of each class starts the next run.
        // Branch-free: stops are too irregular to predict.
        for (unsigned r = 0; r < 3; ++r) {
            const std::uint64_t in_class = mask & phase[r];
            const std::size_t any = std::size_t{0} - std::size_t{in_class != 0};
            // The extra bits keep the counts defined for an empty class; `any`
            // discards those results.
            const auto first = static_cast<std::size_t>(std::countr_zero(in_class | (1ull << 63)));
            const auto last = static_cast<std::size_t>(63 - std::countl_zero(in_class | 1u));
            widest = std::max(widest, (base + first - start[r]) & any);
            start[r] = ((base + last + kCodon) & any) | (start[r] & ~any);
        }
    }

    // Closes the last run of each class at the end of its last complete window.
    void finish(std::size_t length) noexcept {
        for (std::size_t r = 0; r < 3; ++r) {
            const std::size_t windows = length >= r + kCodon ? (length - r - kCodon) / kCodon + 1 : 0;
            widest = std::max(widest, r + windows * kCodon - start[r]);
        }
    }

private:
    void every_stop(std::uint64_t mask, std::size_t base, unsigned block_residue) noexcept {
        while (mask != 0) {
            const auto k = static_cast<unsigned>(std::countr_zero(mask));
            mask &= mask - 1;
            const std::size_t position = base + k;
            std::size_t& run_start = start[kResidue[block_residue + k]];
            widest = std::max(widest, position - run_start);
            run_start = position + kCodon;
        }
    }
};

}  // namespace

std::size_t stop_free_run_ascii(std::string_view sequence) noexcept {
    const std::size_t m = sequence.size();
    if (m < kCodon) return 0;
    const auto* bytes = reinterpret_cast<const unsigned char*>(sequence.data());
    const std::size_t full_blocks = m / kBlock;
    const std::size_t blocks = (m + kBlock - 1) / kBlock;
    // The last, partial block padded with NUL bytes, which are no letter, so no
    // stop reaches past the end of the text.
    unsigned char tail[kBlock] = {};
    std::memcpy(tail, bytes + full_blocks * kBlock, m - full_blocks * kBlock);
    const auto classify_block = [&](std::size_t index) {
        if (index >= blocks) return Letters{};
        return classify(index < full_blocks ? bytes + index * kBlock : tail);
    };

    Frames forward, reverse;
    Letters now = classify_block(0);
    // Position p belongs to class p % 3; block b starts at a position that
    // leaves b % 3, since 64 leaves 1.
    unsigned block_residue = 0;
    std::uint64_t phase[3] = {kPhase[0], kPhase[1], kPhase[2]};
    for (std::size_t index = 0; index < blocks; ++index) {
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
        block_residue = block_residue == 2 ? 0 : block_residue + 1;
        const std::uint64_t last_phase = phase[2];
        phase[2] = phase[1];
        phase[1] = phase[0];
        phase[0] = last_phase;
    }
    forward.finish(m);
    reverse.finish(m);
    return std::max(forward.widest, reverse.widest) / kCodon;
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
