// The stop-free run of an ASCII text, in one pass and without copies: what the
// scans of every level share.
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
// The scans classify 64 bytes at a time into bit masks of forward and reverse
// stops, and note in the same pass whether any byte is 0x80 or above, so that
// callers need no separate ASCII check. This header holds the block geometry,
// the residue classes of window starts and the per-frame bookkeeping of the
// widest gap; stop_scan_grouped.hpp the scan loop; stop_scan_<level>.cpp the
// stops of a block with each instruction set, each entry compiled for its own
// level alone (level_kernels.hpp), so that nothing compiled for a wider one is
// ever shared with the others.
#pragma once

#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>

// Fixed-count loops are unrolled so that every array index is a constant and
// the arrays live in registers.
#define MX_UNROLL _Pragma("GCC unroll 8")
// The scan's helpers are inlined into each level's entry, which is flattened:
// everything it calls is compiled into it, with its instruction set.
#define MX_INLINE [[gnu::always_inline]] inline
#define MX_ENTRY __attribute__((flatten))

namespace marlinox::analysis::stop_scan {

inline constexpr std::size_t kBlock = 64;
inline constexpr std::size_t kCodon = 3;
// How far ahead, in blocks, the scans ask for the text they will read.
inline constexpr std::size_t kPrefetchBlocks = 32;

// Residue class of position k of a block whose first position is in class r:
// kResidue[r + k].
inline constexpr std::array<std::uint8_t, kBlock + 2> kResidue = [] {
    std::array<std::uint8_t, kBlock + 2> residue{};
    for (std::size_t k = 0; k < residue.size(); ++k) residue[k] = static_cast<std::uint8_t>(k % 3);
    return residue;
}();

// Positions k of a block with k % 3 == 0, 1 and 2.
inline constexpr std::uint64_t kPhase[3] = {0x9249249249249249u, 0x2492492492492492u,
                                            0x4924924924924924u};

// Position p belongs to class p % 3; block b starts at a position that leaves
// b % 3, since 64 leaves 1. Steps `block_residue` and `phase` on to the next
// block: class r of the next block is class r + 2 of this one.
MX_INLINE void next_block(unsigned& block_residue, std::uint64_t phase[3]) noexcept {
    block_residue = block_residue == 2 ? 0 : block_residue + 1;
    const std::uint64_t last_phase = phase[2];
    phase[2] = phase[1];
    phase[1] = phase[0];
    phase[0] = last_phase;
}

// Which of several equally wide gaps of a class a scan keeps: none (only the
// width counts), the first one found, or the last one. Forward runs are
// ordered by increasing position, reverse runs by decreasing end, so a
// located scan keeps the first forward gap and the last reverse one.
enum class Keep { width, first, last };

// Widest stop-free gap, in bytes, of the three frames of one strand; with
// `keep` other than width, also the widest gap of each class and where it ends.
template <Keep keep>
class FramesOf {
public:
    static constexpr bool kLocates = keep != Keep::width;

    // Start of the current run of each class: its first window, then the end of
    // the class's latest stop.
    std::size_t start[3] = {0, 1, 2};
    std::size_t widest = 0;
    // Widest gap of each class found by the branch-free path, kept apart so
    // that the three classes are three independent chains of instructions.
    // A locating scan keeps every gap of the class here, in both paths.
    std::size_t widest_in_class[3] = {0, 0, 0};
    // Locating scans: the end of the gap widest_in_class holds (the position
    // of the stop that closes it, or the end of the class's last window).
    std::size_t widest_end[3] = {0, 0, 0};

    // `phase[r]` selects the positions of the block that belong to class r.
    MX_INLINE void stops(std::uint64_t mask, std::size_t base, const std::uint64_t phase[3],
                         unsigned block_residue) noexcept {
        if (widest < kBlock) {
            every_stop(mask, base, block_residue);
            return;
        }
        // A gap between two stops of one block is narrower than the block, so
        // only the gap that ends at the first stop of each class can widen the
        // widest, and only the last stop of each class starts the next run.
        // (Such a narrow gap cannot tie the strand's widest either, which is
        // why a locating scan may skip it too.) Branch-free: stops are too
        // irregular to predict.
        MX_UNROLL for (unsigned r = 0; r < 3; ++r) {
            const std::uint64_t in_class = mask & phase[r];
            const std::size_t any = std::size_t{0} - std::size_t{in_class != 0};
            // The extra bits keep the counts defined for an empty class; `any`
            // discards those results.
            const auto first = static_cast<std::size_t>(std::countr_zero(in_class | (1ull << 63)));
            const auto last = static_cast<std::size_t>(63 - std::countl_zero(in_class | 1u));
            const std::size_t gap = (base + first - start[r]) & any;
            if constexpr (kLocates) {
                const bool take = in_class != 0 && wider(gap, widest_in_class[r]);
                widest_in_class[r] = take ? gap : widest_in_class[r];
                widest_end[r] = take ? base + first : widest_end[r];
            } else {
                widest_in_class[r] = std::max(widest_in_class[r], gap);
            }
            start[r] = ((base + last + kCodon) & any) | (start[r] & ~any);
        }
    }

    // Closes the last run of each class at the end of its last complete window.
    MX_INLINE void finish(std::size_t length) noexcept {
        MX_UNROLL for (std::size_t r = 0; r < 3; ++r) {
            const std::size_t windows = length >= r + kCodon ? (length - r - kCodon) / kCodon + 1 : 0;
            const std::size_t end = r + windows * kCodon;
            if constexpr (kLocates) {
                if (wider(end - start[r], widest_in_class[r])) {
                    widest_in_class[r] = end - start[r];
                    widest_end[r] = end;
                }
                widest = std::max(widest, widest_in_class[r]);
            } else {
                widest = std::max({widest, widest_in_class[r], end - start[r]});
            }
        }
    }

private:
    MX_INLINE static bool wider(std::size_t gap, std::size_t widest_so_far) noexcept {
        return keep == Keep::last ? gap >= widest_so_far : gap > widest_so_far;
    }

    MX_INLINE void every_stop(std::uint64_t mask, std::size_t base, unsigned block_residue) noexcept {
        while (mask != 0) {
            const auto k = static_cast<unsigned>(std::countr_zero(mask));
            mask &= mask - 1;
            const std::size_t position = base + k;
            const unsigned r = kResidue[block_residue + k];
            std::size_t& run_start = start[r];
            if constexpr (kLocates) {
                if (wider(position - run_start, widest_in_class[r])) {
                    widest_in_class[r] = position - run_start;
                    widest_end[r] = position;
                }
            }
            widest = std::max(widest, position - run_start);
            run_start = position + kCodon;
        }
    }
};

// The frames of the plain scan, which only measures.
using Frames = FramesOf<Keep::width>;

// Where the widest gap of a pair of finished strands lies: among the classes
// whose gap is the widest, the first in the order forward frames 0, 1, 2, then
// reverse frames 0, 1, 2. Forward frame f is class f; reverse frame f is class
// (m - f) mod 3 of an m-byte text.
struct WidestGap {
    std::size_t width = 0;  // bytes; 0 when no window is free of stops
    bool reverse = false;
    unsigned frame = 0;
    std::size_t end = 0;  // forward-strand position just past the gap
};

MX_INLINE WidestGap widest_gap(const FramesOf<Keep::first>& forward, const FramesOf<Keep::last>& reverse,
                               std::size_t length) noexcept {
    const std::size_t width = std::max(forward.widest, reverse.widest);
    if (width == 0) return {};
    for (unsigned f = 0; f < 3; ++f)
        if (forward.widest_in_class[f] == width) return {width, false, f, forward.widest_end[f]};
    const auto length_class = static_cast<unsigned>(length % 3);
    for (unsigned f = 0; f < 3; ++f) {
        const unsigned r = (length_class + 3 - f) % 3;
        if (reverse.widest_in_class[r] == width) return {width, true, f, reverse.widest_end[r]};
    }
    return {};  // unreachable: some class holds the widest
}

}  // namespace marlinox::analysis::stop_scan
