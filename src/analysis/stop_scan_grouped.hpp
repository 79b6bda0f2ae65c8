// The stop scan of every level: a detector finds the forward and reverse
// stops of each 64-byte block as two bit masks, and the frames' bookkeeping
// works on groups of three blocks. Each level's file (stop_scan_<level>.cpp)
// defines its detector and its entries on this scan.
//
// Once some gap is wide, most stops cannot widen it: a stop that follows an
// earlier stop of its class by less than the widest gap only moves the start
// of the class's run. So the grouped loop notes, per class, only the latest
// group that holds a stop of the class, and the exact position of that stop is
// found again from the text when it is needed: when a group holds a stop of a
// class whose latest stop lies so far back that the gap might reach the
// widest, and at the end. A group starts at a multiple of three, so which
// bits of its three masks belong to which class is fixed.
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "analysis/level_kernels.hpp"
#include "analysis/stop_free_run.hpp"
#include "analysis/stop_scan_frames.hpp"

namespace marlinox::analysis::stop_scan {

// What a detector's block() counts besides the stops: nothing; the bytes that
// are G or C; those and the bytes that are A, C, G or T (either case).
enum class Count { none, gc, letters };

// Forward and reverse stops of the windows that start in one block.
struct BlockStops {
    std::uint64_t forward = 0, reverse = 0;
};

// The stops from whether the first, second and third byte of each window is
// each letter (bits of a mask, or lanes of a vector, which take & and |):
// TAA, TAG, TGA forward; TTA, CTA, TCA reverse. The vector levels load the
// text three times, shifted by 0, 1 and 2 bytes, so that lane p of the three
// loads holds the window at p; they fold the case and compare once per letter.
template <class V>
MX_INLINE void stop_formulas(const V& t0, const V& c0, const V& a1, const V& g1, const V& t1, const V& c1,
                             const V& a2, const V& g2, V& forward, V& reverse) noexcept {
    forward = t0 & ((a1 & (a2 | g2)) | (g1 & a2));
    reverse = a2 & ((t1 & (t0 | c0)) | (c1 & t0));
}

// The located scan of a text shorter than a codon, which has no window: only
// the letters to count, one by one.
MX_INLINE LocatedScan scan_without_windows(std::string_view sequence) noexcept {
    LocatedScan out;
    out.ascii = is_ascii(sequence);
    for (const char byte : sequence) {
        const unsigned char folded = static_cast<unsigned char>(byte) | kFold;
        out.gc += folded == 'g' || folded == 'c' ? 1 : 0;
        out.acgt += folded == 'a' || folded == 't' || folded == 'g' || folded == 'c' ? 1 : 0;
    }
    return out;
}

inline constexpr std::size_t kGroupBlocks = 3;
inline constexpr std::size_t kGroup = kGroupBlocks * kBlock;
// Below this widest gap nearly every group would need the exact positions.
inline constexpr std::size_t kGroupedFrom = 2 * kGroup;

// Positions of block j of a group (j = 0, 1, 2) that belong to class r.
MX_INLINE constexpr std::uint64_t group_phase(unsigned r, unsigned j) noexcept { return kPhase[(r + 3 - j) % 3]; }

// The frames of both strands between exact steps. The groups are taken in
// windows of a few; what a window notes of each class is only whether it holds
// a stop of the class. From that, a class's latest stop is known to lie in some
// window, which bounds the gap its next stop can close; a class whose next gap
// might reach the widest is "old", and a group with a stop of an old class is
// not passed but taken stop by stop, after `start` of every class is found
// again from the text.
class GroupedFrames {
public:
    // `start` arrays of the two strands, exact for the text before `base`.
    MX_INLINE GroupedFrames(std::size_t* forward_start, std::size_t* reverse_start, std::size_t base,
                            std::size_t widest) noexcept
        : starts_{forward_start, reverse_start} {
        restart(base, widest);
    }

    // Whether the group at `base` leaves every start and the widest as they
    // would be after it, up to starts found again by place_starts.
    MX_INLINE bool passes(const BlockStops (&stops)[kGroupBlocks], std::size_t base) noexcept {
        std::uint64_t old = 0;
        MX_UNROLL for (unsigned j = 0; j < kGroupBlocks; ++j) {
            old |= (stops[j].forward & old_[0][j]) | (stops[j].reverse & old_[1][j]);
        }
        if (old != 0) return false;
        MX_UNROLL for (unsigned j = 0; j < kGroupBlocks; ++j) {
            seen_[0][j] |= stops[j].forward;
            seen_[1][j] |= stops[j].reverse;
        }
        if (--groups_left_ == 0) {
            close_window(base + kGroup);
            plan_window(base + kGroup);
        }
        return true;
    }

    // Makes `start` exact for the text before `end`, the end of the groups
    // passed: the latest stop of a class is looked for, backwards, in the
    // window known to hold it.
    template <class Detector>
    MX_INLINE void place_starts(Detector& detect, const unsigned char* bytes, std::size_t end) noexcept {
        close_window(end);
        MX_UNROLL for (unsigned s = 0; s < 2; ++s) {
            MX_UNROLL for (unsigned r = 0; r < 3; ++r) {
                if (exact_[s][r]) continue;
                for (std::size_t block = window_end_[s][r] / kBlock; block-- > window_of_[s][r] / kBlock;) {
                    const BlockStops stops = detect.peek(bytes + block * kBlock);
                    const std::uint64_t in_class =
                        (s == 0 ? stops.forward : stops.reverse) & group_phase(r, static_cast<unsigned>(block % 3));
                    if (in_class == 0) continue;
                    starts_[s][r] = block * kBlock + 63 - static_cast<std::size_t>(std::countl_zero(in_class)) + kCodon;
                    break;
                }
                exact_[s][r] = true;
            }
        }
    }

    // After an exact step: every start exact, windows from `base` on.
    MX_INLINE void restart(std::size_t base, std::size_t widest) noexcept {
        widest_ = static_cast<std::ptrdiff_t>(widest);
        MX_UNROLL for (unsigned s = 0; s < 2; ++s) {
            MX_UNROLL for (unsigned r = 0; r < 3; ++r) exact_[s][r] = true;
        }
        window_base_ = base;
        plan_window(base);
    }

private:
    // Notes, per class, the window just closed at `end` if it held a stop.
    MX_INLINE void close_window(std::size_t end) noexcept {
        MX_UNROLL for (unsigned s = 0; s < 2; ++s) {
            MX_UNROLL for (unsigned r = 0; r < 3; ++r) {
                const std::uint64_t in_class = (seen_[s][0] & group_phase(r, 0)) | (seen_[s][1] & group_phase(r, 1)) |
                                               (seen_[s][2] & group_phase(r, 2));
                // Branch-free: whether a class has a stop in a window is
                // too irregular to predict when stops are rare.
                const bool held = in_class != 0;
                exact_[s][r] = exact_[s][r] && !held;
                window_of_[s][r] = held ? window_base_ : window_of_[s][r];
                window_end_[s][r] = held ? end : window_end_[s][r];
            }
            MX_UNROLL for (unsigned j = 0; j < kGroupBlocks; ++j) seen_[s][j] = 0;
        }
        window_base_ = end;
    }

    // A window of groups from `base`, short enough that a gap between two
    // stops inside it is under a quarter of the widest; and which classes are
    // old in it.
    MX_INLINE void plan_window(std::size_t base) noexcept {
        const std::ptrdiff_t groups = std::clamp<std::ptrdiff_t>(widest_ / static_cast<std::ptrdiff_t>(4 * kGroup), 1, 32);
        groups_left_ = static_cast<unsigned>(groups);
        // The last stop the window can hold lies at base + groups * kGroup - 1;
        // the run it closes starts kCodon past the class's latest stop.
        const std::ptrdiff_t reach =
            static_cast<std::ptrdiff_t>(base + static_cast<std::size_t>(groups) * kGroup - 1 - kCodon) - widest_;
        MX_UNROLL for (unsigned s = 0; s < 2; ++s) {
            MX_UNROLL for (unsigned j = 0; j < kGroupBlocks; ++j) old_[s][j] = 0;
            MX_UNROLL for (unsigned r = 0; r < 3; ++r) {
                const std::ptrdiff_t latest_at_least = exact_[s][r] ? static_cast<std::ptrdiff_t>(starts_[s][r]) - 3
                                                                    : static_cast<std::ptrdiff_t>(window_of_[s][r]);
                if (latest_at_least > reach) continue;
                MX_UNROLL for (unsigned j = 0; j < kGroupBlocks; ++j) old_[s][j] |= group_phase(r, j);
            }
        }
    }

    std::size_t* starts_[2];
    std::ptrdiff_t widest_ = 0;
    // Stops of the open window, by strand and block of the group.
    std::uint64_t seen_[2][kGroupBlocks] = {};
    // Positions of the old classes, by strand and block of the group.
    std::uint64_t old_[2][kGroupBlocks] = {};
    // Per strand and class: whether `start` follows its latest stop; if not,
    // the window [window_of_, window_end_) holds that stop.
    bool exact_[2][3] = {};
    std::size_t window_of_[2][3] = {}, window_end_[2][3] = {};
    std::size_t window_base_ = 0;
    unsigned groups_left_ = 0;
};

// Whether a detector offers part_block(p, n): block(p) of a block whose text
// ends n bytes after p (0 < n < 66), reading none of the bytes beyond.
template <class Detector>
inline constexpr bool kReadsPartBlocks = requires(Detector& detect, const unsigned char* p) {
    detect.part_block(p, std::size_t{1});
};

// `Detector` offers block(p), the stops of the block at p, reading 66 bytes and
// taking note of them (non-ASCII bytes, letters); peek(p), the same stops
// without taking note; ascii(); acgt() and gc(), the bytes that block() counted
// as A, C, G or T, and as G or C.
template <bool located, class Detector>
MX_INLINE auto grouped_scan(std::string_view sequence, Detector& detect) noexcept {
    using Forward = FramesOf<located ? Keep::first : Keep::width>;
    using Reverse = FramesOf<located ? Keep::last : Keep::width>;
    const std::size_t m = sequence.size();
    if (m < kCodon) {
        if constexpr (located) return scan_without_windows(sequence);
        else return AsciiScan{0, is_ascii(sequence)};
    }
    const auto* bytes = reinterpret_cast<const unsigned char*>(sequence.data());
    const std::size_t blocks = (m + kBlock - 1) / kBlock;
    // Blocks read 66 bytes; those that would pass the end of the text, at most
    // two, read it as if NUL bytes, which are no letter, followed it: a
    // detector with masked loads reads the text itself, any other a padded
    // copy.
    const std::size_t direct = m >= kBlock + 2 ? (m - 2) / kBlock : 0;
    unsigned char tail[2 * kBlock + 2];
    if constexpr (!kReadsPartBlocks<Detector>) {
        std::memset(tail, 0, sizeof tail);
        std::memcpy(tail, bytes + direct * kBlock, m - direct * kBlock);
    }
    const auto last_blocks = [&](std::size_t index) {
        if constexpr (kReadsPartBlocks<Detector>) return detect.part_block(bytes + index * kBlock, m - index * kBlock);
        else return detect.block(tail + (index - direct) * kBlock);
    };

    Forward forward(m);
    Reverse reverse(m);
    const auto exact_block = [&](std::size_t index, BlockStops stops) {
        const auto residue = static_cast<unsigned>(index % 3);
        const std::uint64_t phase[3] = {kPhase[(3 - residue) % 3], kPhase[(4 - residue) % 3],
                                        kPhase[(5 - residue) % 3]};
        forward.stops(stops.forward, index * kBlock, phase, residue);
        reverse.stops(stops.reverse, index * kBlock, phase, residue);
    };
    const auto widest_so_far = [&] { return std::max(forward.widest(), reverse.widest()); };
    const auto groups_pay = [&](std::size_t index) {
        return index % kGroupBlocks == 0 && index + kGroupBlocks <= direct && widest_so_far() >= kGroupedFrom;
    };

    std::size_t index = 0;
    for (; index < direct && !groups_pay(index); ++index) exact_block(index, detect.block(bytes + index * kBlock));

    if (index < blocks && index + kGroupBlocks <= direct) {
        GroupedFrames grouped(forward.start, reverse.start, index * kBlock, widest_so_far());
        for (; index + kGroupBlocks <= direct; index += kGroupBlocks) {
            const std::size_t base = index * kBlock;
            if (index + kPrefetchBlocks + kGroupBlocks <= direct) {
                MX_UNROLL for (unsigned j = 0; j < kGroupBlocks; ++j)
                    __builtin_prefetch(bytes + base + (kPrefetchBlocks + j) * kBlock);
            }
            BlockStops stops[kGroupBlocks];
            MX_UNROLL for (unsigned j = 0; j < kGroupBlocks; ++j) stops[j] = detect.block(bytes + base + j * kBlock);
            if (grouped.passes(stops, base)) [[likely]] continue;
            // Some gap may reach the widest: this group stop by stop.
            grouped.place_starts(detect, bytes, base);
            MX_UNROLL for (unsigned j = 0; j < kGroupBlocks; ++j) exact_block(index + j, stops[j]);
            grouped.restart(base + kGroup, widest_so_far());
        }
        grouped.place_starts(detect, bytes, index * kBlock);
    }

    for (; index < direct; ++index) exact_block(index, detect.block(bytes + index * kBlock));
    for (; index < blocks; ++index) exact_block(index, last_blocks(index));
    forward.finish(m);
    reverse.finish(m);
    if constexpr (located) {
        const WidestGap gap = widest_gap(forward, reverse);
        return LocatedScan{gap.width / kCodon, detect.ascii(), gap.reverse, gap.frame,
                           gap.end - gap.width, gap.end, detect.acgt(), detect.gc()};
    } else {
        return AsciiScan{widest_so_far() / kCodon, detect.ascii()};
    }
}

// A level's three entries on its detector template (one instance per Count),
// built from `args` (a detector for a stop set takes the set): the plain scan;
// the plain scan with the G and C bytes counted (a text shorter than a codon
// has no block to count them in); the located scan.
template <template <Count> class Detector, class... Args>
MX_INLINE AsciiScan plain_scan(std::string_view sequence, Args... args) noexcept {
    Detector<Count::none> detect(args...);
    return grouped_scan<false>(sequence, detect);
}

template <template <Count> class Detector, class... Args>
MX_INLINE AsciiScan scan_with_gc(std::string_view sequence, Args... args) noexcept {
    Detector<Count::gc> detect(args...);
    AsciiScan scan = grouped_scan<false>(sequence, detect);
    scan.gc = sequence.size() < kCodon ? scan_without_windows(sequence).gc : detect.gc();
    return scan;
}

template <template <Count> class Detector, class... Args>
MX_INLINE LocatedScan located_scan(std::string_view sequence, Args... args) noexcept {
    Detector<Count::letters> detect(args...);
    return grouped_scan<true>(sequence, detect);
}

}  // namespace marlinox::analysis::stop_scan
