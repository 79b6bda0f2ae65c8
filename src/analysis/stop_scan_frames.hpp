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

// Which of several equally wide gaps a scan keeps: none (only the width
// counts), the first one in the order of the forward frames, or in the order
// of the reverse frames. Both order by frame first; within a frame, forward
// runs come by increasing position, reverse runs by decreasing end, so a
// forward scan keeps the first of equal gaps in its frame and a reverse scan
// the last.
enum class Keep { width, first, last };

// Widest stop-free gap, in bytes, of the three frames of one strand; with
// `keep` other than width, also which frame holds it and where it ends.
template <Keep keep>
class FramesOf {
public:
    static constexpr bool kLocates = keep != Keep::width;

    // `length`, the text's, orders the classes by frame for a locating scan:
    // forward frame f is class f; reverse frame f is class (length - f) mod 3.
    explicit FramesOf(std::size_t length = 0) noexcept {
        for (unsigned r = 0; r < 3; ++r) {
            const auto frame = keep == Keep::last ? static_cast<unsigned>((length + 3 - r) % 3) : r;
            rank_[r] = 2 - frame;
        }
    }

    // Start of the current run of each class: its first window, then the end of
    // the class's latest stop.
    std::size_t start[3] = {0, 1, 2};

    // The widest gap so far; exact once finished.
    MX_INLINE std::size_t widest() const noexcept {
        if constexpr (kLocates) return best_key_ / 4;
        else return std::max({widest_, widest_in_class_[0], widest_in_class_[1], widest_in_class_[2]});
    }

    // Locating scans, once finished: the frame that holds the widest gap and
    // the end of that gap (the position of the stop that closes it, or the
    // end of the frame's last window).
    MX_INLINE unsigned frame() const noexcept { return 2 - static_cast<unsigned>(best_key_ % 4); }
    MX_INLINE std::size_t widest_end() const noexcept { return best_end_; }

    // `phase[r]` selects the positions of the block that belong to class r.
    MX_INLINE void stops(std::uint64_t mask, std::size_t base, const std::uint64_t phase[3],
                         unsigned block_residue) noexcept {
        if ((kLocates ? best_key_ / 4 : widest_) < kBlock) {
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
                // An empty class closes a gap of 0, which loses to the widest,
                // as wide as a block here.
                gap_closed(key_of(gap, r), base + first);
            } else {
                widest_in_class_[r] = std::max(widest_in_class_[r], gap);
            }
            start[r] = ((base + last + kCodon) & any) | (start[r] & ~any);
        }
    }

    // Closes the last run of each class at the end of its last complete window.
    MX_INLINE void finish(std::size_t length) noexcept {
        MX_UNROLL for (unsigned r = 0; r < 3; ++r) {
            const std::size_t windows = length >= r + kCodon ? (length - r - kCodon) / kCodon + 1 : 0;
            const std::size_t end = r + windows * kCodon;
            if constexpr (kLocates) gap_closed(key_of(end - start[r], r), end);
            else widest_ = std::max(widest_, end - start[r]);
        }
    }

private:
    // A locating scan keeps one key for the widest gap: its width times four
    // plus the rank of its frame (2 for frame 0, 0 for frame 2), so that one
    // comparison orders gaps by width, then by frame; equal keys come from one
    // class, where the forward scan keeps the first and the reverse scan the
    // last. One chain of instructions, in registers.
    MX_INLINE std::size_t key_of(std::size_t gap, unsigned r) const noexcept { return gap * 4 + rank_[r]; }

    MX_INLINE void gap_closed(std::size_t key, std::size_t end) noexcept {
        const bool take = keep == Keep::last ? key >= best_key_ : key > best_key_;
        best_key_ = take ? key : best_key_;
        best_end_ = take ? end : best_end_;
    }

    MX_INLINE void every_stop(std::uint64_t mask, std::size_t base, unsigned block_residue) noexcept {
        while (mask != 0) {
            const auto k = static_cast<unsigned>(std::countr_zero(mask));
            mask &= mask - 1;
            const std::size_t position = base + k;
            const unsigned r = kResidue[block_residue + k];
            const std::size_t gap = position - start[r];
            if constexpr (kLocates) gap_closed(key_of(gap, r), position);
            else widest_ = std::max(widest_, gap);
            start[r] = position + kCodon;
        }
    }

    // Plain scans: the widest gap of the stop-by-stop path, and of each class
    // in the branch-free path, kept apart so that the three classes are three
    // independent chains of instructions.
    std::size_t widest_ = 0;
    std::size_t widest_in_class_[3] = {0, 0, 0};
    // Locating scans: see gap_closed.
    std::size_t best_key_ = 0, best_end_ = 0;
    unsigned rank_[3] = {};
};

// The frames of the plain scan, which only measures.
using Frames = FramesOf<Keep::width>;

// Where the widest gap of a pair of finished strands lies: among the frames
// whose gap is the widest, the first in the order forward frames 0, 1, 2, then
// reverse frames 0, 1, 2.
struct WidestGap {
    std::size_t width = 0;  // bytes; 0 when no window is free of stops
    bool reverse = false;
    unsigned frame = 0;
    std::size_t end = 0;  // forward-strand position just past the gap
};

MX_INLINE WidestGap widest_gap(const FramesOf<Keep::first>& forward, const FramesOf<Keep::last>& reverse) noexcept {
    const std::size_t width = std::max(forward.widest(), reverse.widest());
    if (width == 0) return {};
    if (forward.widest() == width) return {width, false, forward.frame(), forward.widest_end()};
    return {width, true, reverse.frame(), reverse.widest_end()};
}

}  // namespace marlinox::analysis::stop_scan
