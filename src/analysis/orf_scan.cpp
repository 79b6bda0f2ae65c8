#include "analysis/orf_scan.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <limits>
#include <span>

#include "analysis/bases.hpp"
#include "analysis/codon_windows.hpp"
#include "analysis/level_kernels.hpp"

namespace marlinox::analysis {
namespace {

constexpr unsigned kA = 0, kC = 1, kG = 2, kT = 3;

// Bit i of each mask: whether the window at i holds that codon on that strand.
struct BlockEvents {
    std::uint64_t forward_stops = 0, reverse_stops = 0, forward_starts = 0, reverse_starts = 0;
};

// The events of the 64 windows of a block from the letters of its bytes and
// of the next block's (a window reaches two bytes past its start).
// `standard_stops`: the stops are TAA, TAG and TGA, whose fixed expression is
// shorter than the terms of an arbitrary set.
template <bool with_starts, bool standard_stops>
[[gnu::always_inline]] inline BlockEvents block_events(const LetterMasks& here, const LetterMasks& next,
                                                       const StrandCodons& starts, const StrandCodons& stops) noexcept {
    // Not const: GCC 16 for 32-bit ARM fails with an internal error on these
    // arrays as const.
    std::array<std::uint64_t, 4> letters{here.a, here.c, here.g, here.t};
    std::array<std::uint64_t, 4> following{next.a, next.c, next.g, next.t};
    const WindowLetters at = window_letters(letters, following);
    BlockEvents out;
    if constexpr (standard_stops) {
        // TAA, TAG, TGA forward; TTA, CTA, TCA (their reverse complements) reverse.
        out.forward_stops = at[0][kT] & ((at[1][kA] & (at[2][kA] | at[2][kG])) | (at[1][kG] & at[2][kA]));
        out.reverse_stops = at[2][kA] & ((at[1][kT] & (at[0][kT] | at[0][kC])) | (at[1][kC] & at[0][kT]));
    } else {
        const CodonHits hits = codon_hits(at, stops);
        out.forward_stops = hits.forward;
        out.reverse_stops = hits.reverse;
    }
    if constexpr (with_starts) {
        const CodonHits hits = codon_hits(at, starts);
        out.forward_starts = hits.forward;
        out.reverse_starts = hits.reverse;
    }
    return out;
}

// The letter masks of blocks [first, first + count) of the text, read through
// `kernel` where a block lies wholly inside the text and from a zero-padded
// copy where it does not (a padding byte is no letter).
void fill_letter_masks(const unsigned char* bytes, std::size_t length, std::size_t first, std::size_t count,
                       LetterMasksKernel kernel, LetterMasks* out) noexcept {
    const std::size_t whole_blocks = length / 64;
    const std::size_t direct = first < whole_blocks ? std::min(count, whole_blocks - first) : 0;
    if (direct != 0) kernel(bytes + 64 * first, direct, out);
    if (direct == count) return;
    // At most the text's partial block and the one after it, in one call.
    constexpr std::size_t kPadded = 2;
    alignas(64) std::array<unsigned char, 64 * kPadded> padded{};
    const std::size_t from = 64 * (first + direct);
    if (from < length) std::copy(bytes + from, bytes + std::min(length, from + padded.size()), padded.begin());
    kernel(padded.data(), count - direct, out + direct);
}

constexpr std::size_t kNone = std::numeric_limits<std::size_t>::max();

// The ORFs of one strand's frames, kept per class of position modulo 3 so
// that each list comes out ordered by position; the lists are merged at the
// end.
class OrfCutter {
public:
    OrfCutter(std::size_t length, const OrfRules& rules, std::array<std::vector<Orf>, 6>& lists) noexcept
        : length_(length), rules_(rules), lists_(lists), shortest_(3 * std::max<std::size_t>(rules.min_codons, 1)) {}

    // The forward run [first, end) of whole codons of class `frame_class`, from
    // the first start codon at or after `first_start` (kNone: none) when the
    // rules ask for one; `stopped`: a stop codon follows it at `end`.
    [[gnu::always_inline]] void forward_run(unsigned frame_class, std::size_t first, std::size_t end,
                                            std::size_t first_start, bool stopped) {
        if (rules_.forward && end - first >= shortest_) cut_forward(frame_class, first, end, first_start, stopped);
    }

    // The reverse run [first, end) of class `frame_class`; `stopped`: a stop
    // on the reverse strand lies just below `first`; `at_top`: `end` is the
    // frame's last whole codon on the forward strand, its first on the
    // reverse one. `last_start`: the highest reverse start window in the run.
    [[gnu::always_inline]] void reverse_run(unsigned frame_class, std::size_t first, std::size_t end,
                                            std::size_t last_start, bool stopped, bool at_top) {
        if (rules_.reverse && end - first >= shortest_) cut_reverse(frame_class, first, end, last_start, stopped, at_top);
    }

    // Bytes of the shortest run that can hold an ORF that is kept.
    std::size_t shortest() const noexcept { return shortest_; }

private:
    void cut_forward(unsigned frame_class, std::size_t first, std::size_t end, std::size_t first_start,
                     bool stopped) {
        Orf orf{first, end, false, frame_class, first < 3, !stopped};
        if (rules_.from_start) {
            if (first_start == kNone || first_start >= end) return;
            orf.start = first_start;
            orf.open_five = false;
        }
        keep(orf, frame_class);
    }

    void cut_reverse(unsigned frame_class, std::size_t first, std::size_t end, std::size_t last_start,
                     bool stopped, bool at_top) {
        Orf orf{first, end, true, 0, at_top, !stopped};
        if (rules_.from_start) {
            if (last_start == kNone || last_start < first) return;
            orf.end = last_start + 3;
            orf.open_five = false;
        }
        orf.frame = static_cast<unsigned>((length_ - orf.end) % 3);
        keep(orf, 3 + frame_class);
    }

    void keep(const Orf& orf, unsigned list) {
        const std::size_t codons = orf.codons();
        if (codons == 0 || codons < rules_.min_codons || codons > rules_.max_codons) return;
        // Written field by field into the list: a copy of the whole ORF would
        // read back in wide loads the narrow writes that just built it.
        lists_[list].emplace_back(orf.start, orf.end, orf.reverse, orf.frame, orf.open_five, orf.open_three);
    }

    std::size_t length_;
    const OrfRules& rules_;
    std::array<std::vector<Orf>, 6>& lists_;
    std::size_t shortest_;
};

bool before(const Orf& a, const Orf& b) noexcept {
    if (a.start != b.start) return a.start < b.start;
    if (a.end != b.end) return a.end < b.end;
    return !a.reverse && b.reverse;
}

// Appends the six ordered lists to `out` in one ordered sequence.
void merge_lists(std::array<std::vector<Orf>, 6>& lists, std::vector<Orf>& out) {
    std::size_t total = 0;
    for (const auto& list : lists) total += list.size();
    // Grown geometrically: `out` collects the ORFs of many records in turn.
    if (out.capacity() < out.size() + total) out.reserve(std::max(out.size() + total, 2 * out.capacity()));
    // Each list ends in an ORF after every other, so that a list run out of
    // ORFs needs no test of its own.
    constexpr std::size_t kEnd = std::numeric_limits<std::size_t>::max();
    // The heads' starts are kept at hand: they decide but for the rare
    // ORFs of one start on several lists (at a record's first codons).
    std::array<const Orf*, 6> heads;
    std::array<std::size_t, 6> starts;
    for (std::size_t k = 0; k < 6; ++k) {
        lists[k].push_back(Orf{kEnd, kEnd, true, 0, false, false});
        heads[k] = lists[k].data();
        starts[k] = heads[k]->start;
    }
    for (std::size_t written = 0; written < total; ++written) {
        // The least start kept in a register rather than read back through
        // the index of the list that holds it; a start seen twice on the way
        // is settled by the whole order after.
        std::size_t best = 0, least = starts[0];
        bool tie = false;
#pragma GCC unroll 5
        for (std::size_t k = 1; k < 6; ++k) {
            tie |= starts[k] == least;
            best = starts[k] < least ? k : best;
            least = std::min(least, starts[k]);
        }
        if (tie) [[unlikely]] {
            for (std::size_t k = 0; k < 6; ++k)
                best = starts[k] == least && before(*heads[k], *heads[best]) ? k : best;
        }
        out.push_back(*heads[best]++);
        starts[best] = heads[best]->start;
    }
    for (auto& list : lists) list.pop_back();
}

// Per class of a block's first position modulo 3: the block's bits of each
// class of position modulo 3.
// (Built in a loop: GCC 16 for 32-bit ARM fails with an internal error on
// these braces.)
constexpr std::array<std::array<std::uint64_t, 3>, 3> kFrameBits = [] {
    std::array<std::array<std::uint64_t, 3>, 3> bits{};
    for (unsigned first = 0; first < 3; ++first)
        for (unsigned frame_class = 0; frame_class < 3; ++frame_class)
            bits[first][frame_class] = kClassBits[(frame_class + 3 - first) % 3];
    return bits;
}();

std::uint64_t below(unsigned bit) noexcept { return (std::uint64_t{1} << bit) - 1; }
std::uint64_t above(unsigned bit) noexcept { return bit == 63 ? 0 : ~((std::uint64_t{2} << bit) - 1); }
unsigned highest(std::uint64_t bits) noexcept { return 63u - static_cast<unsigned>(std::countl_zero(bits)); }
unsigned lowest(std::uint64_t bits) noexcept { return static_cast<unsigned>(std::countr_zero(bits)); }

// What the scan carries from block to block, per class of position modulo 3
// and strand: the first codon after the last stop seen; with starts, the
// first forward start and the last reverse start since then.
struct Frames {
    std::array<std::size_t, 3> forward_next{0, 1, 2}, reverse_next{0, 1, 2};
    std::array<std::size_t, 3> forward_start{kNone, kNone, kNone}, reverse_start{kNone, kNone, kNone};
};

// A piece after a text's first: per strand and class (forward 0 to 2, reverse
// 3 to 5), the run that its first stop ends began in an earlier piece, so the
// scan notes that stop and the starts before it for the join, and takes the
// class up from the codon after it.
struct Heads {
    std::array<std::size_t, 6> first_stop{kNone, kNone, kNone, kNone, kNone, kNone};
    std::array<std::size_t, 6> start_before{kNone, kNone, kNone, kNone, kNone, kNone};
    unsigned pending = 0;  // bit per class whose first stop is still to come
};

// The heads in one block: notes them and takes their events, and those of
// every pending class, out of `found`.
void take_heads(BlockEvents& found, std::size_t block, Heads& heads, Frames& frames) {
    const std::array<std::uint64_t, 3>& in_frame = kFrameBits[block % 3];
    for (unsigned frame_class = 0; frame_class < 3; ++frame_class) {
        const unsigned forward = frame_class, reverse = 3 + frame_class;
        if (((heads.pending >> forward) & 1u) != 0) {
            const std::uint64_t stops = found.forward_stops & in_frame[frame_class];
            const std::uint64_t head = in_frame[frame_class] & (stops ^ (stops - 1));  // up to the first stop
            const std::uint64_t starts = found.forward_starts & head & ~stops;
            if (heads.start_before[forward] == kNone && starts != 0)
                heads.start_before[forward] = block + lowest(starts);
            found.forward_stops &= ~head;
            found.forward_starts &= ~head;
            if (stops != 0) {
                heads.first_stop[forward] = block + lowest(stops);
                heads.pending &= ~(1u << forward);
                frames.forward_next[frame_class] = heads.first_stop[forward] + 3;
            }
        }
        if (((heads.pending >> reverse) & 1u) != 0) {
            const std::uint64_t stops = found.reverse_stops & in_frame[frame_class];
            const std::uint64_t head = in_frame[frame_class] & (stops ^ (stops - 1));
            const std::uint64_t starts = found.reverse_starts & head & ~stops;
            if (starts != 0) heads.start_before[reverse] = block + highest(starts);
            found.reverse_stops &= ~head;
            found.reverse_starts &= ~head;
            if (stops != 0) {
                heads.first_stop[reverse] = block + lowest(stops);
                heads.pending &= ~(1u << reverse);
                frames.reverse_next[frame_class] = heads.first_stop[reverse] + 3;
            }
        }
    }
}

// The runs that reach the text's end, one per strand and class.
[[gnu::always_inline]] inline void close_frames(std::size_t length, const Frames& frames, OrfCutter& cutter) {
    for (unsigned frame_class = 0; frame_class < 3 && frame_class + 3 <= length; ++frame_class) {
        const std::size_t top = frame_class + 3 * ((length - frame_class) / 3);
        cutter.forward_run(frame_class, frames.forward_next[frame_class], top, frames.forward_start[frame_class],
                           false);
        cutter.reverse_run(frame_class, frames.reverse_next[frame_class], top, frames.reverse_start[frame_class],
                           frames.reverse_next[frame_class] >= 3, true);
    }
}

// Every stop of the block in position order: each one ends a run.
template <bool with_starts>
void cut_every_run(const BlockEvents& found, std::size_t block, OrfCutter& cutter, Frames& frames) {
    const auto block_class = static_cast<unsigned>(block % 3);
    // Starts and stops in position order, so that a start after a stop
    // belongs to the next run.
    for (std::uint64_t forward = found.forward_stops | found.forward_starts; forward != 0; forward &= forward - 1) {
        const unsigned bit = lowest(forward);
        const std::size_t at = block + bit;
        const unsigned frame_class = (block_class + bit) % 3;
        if (((found.forward_stops >> bit) & 1u) != 0) {
            cutter.forward_run(frame_class, frames.forward_next[frame_class], at, frames.forward_start[frame_class],
                               true);
            frames.forward_next[frame_class] = at + 3;
            frames.forward_start[frame_class] = kNone;
        } else if (frames.forward_start[frame_class] == kNone) {
            frames.forward_start[frame_class] = at;
        }
    }
    for (std::uint64_t reverse = found.reverse_stops | found.reverse_starts; reverse != 0; reverse &= reverse - 1) {
        const unsigned bit = lowest(reverse);
        const std::size_t at = block + bit;
        const unsigned frame_class = (block_class + bit) % 3;
        if (((found.reverse_stops >> bit) & 1u) != 0) {
            std::size_t& next = frames.reverse_next[frame_class];
            cutter.reverse_run(frame_class, next, at, frames.reverse_start[frame_class], next >= 3, false);
            next = at + 3;
            frames.reverse_start[frame_class] = kNone;
        } else {
            frames.reverse_start[frame_class] = at;
        }
    }
}

// Only the first stop of each frame in the block can end a run that is kept:
// runs between two stops of one block hold at most 20 codons, fewer than the
// rules keep. The last stop and the starts after it carry on.
[[gnu::always_inline]] inline void cut_long_runs_from_starts(const BlockEvents& found, std::size_t block,
                                                             OrfCutter& cutter, Frames& frames) {
    const std::array<std::uint64_t, 3>& in_frame = kFrameBits[block % 3];
    for (unsigned frame_class = 0; frame_class < 3; ++frame_class) {
        const std::uint64_t stops = found.forward_stops & in_frame[frame_class];
        const std::uint64_t starts = found.forward_starts & in_frame[frame_class];
        std::size_t& start = frames.forward_start[frame_class];
        if (stops == 0) {
            if (start == kNone && starts != 0) start = block + lowest(starts);
            continue;
        }
        const unsigned first = lowest(stops), last = highest(stops);
        if (start == kNone && (starts & below(first)) != 0) start = block + lowest(starts);
        cutter.forward_run(frame_class, frames.forward_next[frame_class], block + first, start, true);
        frames.forward_next[frame_class] = block + last + 3;
        start = (starts & above(last)) != 0 ? block + lowest(starts & above(last)) : kNone;
    }
    for (unsigned frame_class = 0; frame_class < 3; ++frame_class) {
        const std::uint64_t stops = found.reverse_stops & in_frame[frame_class];
        const std::uint64_t starts = found.reverse_starts & in_frame[frame_class];
        std::size_t& start = frames.reverse_start[frame_class];
        if (stops == 0) {
            if (starts != 0) start = block + highest(starts);
            continue;
        }
        const unsigned first = lowest(stops), last = highest(stops);
        if ((starts & below(first)) != 0) start = block + highest(starts & below(first));
        std::size_t& next = frames.reverse_next[frame_class];
        cutter.reverse_run(frame_class, next, block + first, start, next >= 3, false);
        next = block + last + 3;
        start = (starts & above(last)) != 0 ? block + highest(starts & above(last)) : kNone;
    }
}

// Without starts, a run long enough to keep spans whole blocks of its frame
// without a stop, and a block holds a stop of a given frame about every other
// time: the scan notes per block only which frames hold a stop, and looks for
// the stops themselves only where enough blocks of a frame hold none between
// two of its stops.
constexpr std::size_t kChunkBlocks = 64;

// A chunk's stops, per block.
struct ChunkStops {
    std::array<std::uint64_t, kChunkBlocks> forward, reverse;

    void note(std::size_t k, const BlockEvents& found) noexcept {
        forward[k] = found.forward_stops;
        reverse[k] = found.reverse_stops;
    }
};

// Bit k set when blocks k + 1 - count to k all hold no stop (`quiet` bits);
// blocks below the chunk count as holding one.
std::uint64_t quiet_spans(std::uint64_t quiet, std::size_t count) noexcept {
    if (count >= 64) return 0;
    std::uint64_t spans = ~std::uint64_t{0};
    unsigned covered = 0;
    // `quiet_run`: bit k set when the `run` blocks up to k are quiet.
    std::uint64_t quiet_run = quiet;
    for (unsigned run = 1; count != 0; run *= 2, count /= 2) {
        if ((count & 1u) != 0) {
            spans &= quiet_run << covered;
            covered += run;
        }
        if (count > 1) quiet_run &= quiet_run << run;
    }
    return spans;
}

// The runs of one frame that end in a chunk: `stops` its blocks' stops,
// `blocks` which of them hold one of the frame's. Calls `run(first, end)` for
// the run that each block's first stop ends when it could be long enough, and
// returns the codon after the chunk's last stop (`next` when there is none).
template <class Run>
[[gnu::always_inline]] inline std::size_t cut_frame_runs(const std::array<std::uint64_t, kChunkBlocks>& stops,
                                                         std::uint64_t blocks, std::size_t chunk,
                                                         unsigned frame_class, std::size_t quiet_blocks,
                                                         std::size_t next, Run run) {
    if (blocks == 0) return next;
    const auto in_block = [&](unsigned k) { return stops[k] & kFrameBits[(chunk + k) % 3][frame_class]; };
    const auto position = [&](unsigned k) { return 64 * (chunk + k); };
    const unsigned first = lowest(blocks);
    run(next, position(first) + lowest(in_block(first)));
    // The later blocks with a stop after enough blocks without one.
    for (std::uint64_t ends = blocks & (quiet_spans(~blocks, quiet_blocks) << 1) & ~(std::uint64_t{1} << first);
         ends != 0; ends &= ends - 1) {
        const unsigned k = lowest(ends), before = highest(blocks & below(k));
        run(position(before) + highest(in_block(before)) + 3, position(k) + lowest(in_block(k)));
    }
    const unsigned last = highest(blocks);
    return position(last) + highest(in_block(last)) + 3;
}

// Blocks of a chunk that hold a stop of class `frame_class`, from those that
// hold one at a bit of each class: bit p of block b is position 64 b + p, of
// class b + p modulo 3.
std::uint64_t frame_blocks(const std::array<std::uint64_t, 3>& by_bit_class, std::size_t chunk,
                           unsigned frame_class) noexcept {
    std::uint64_t out = 0;
    for (unsigned bit_class = 0; bit_class < 3; ++bit_class)
        out |= by_bit_class[bit_class] & kClassBits[(frame_class + 6 - bit_class - chunk % 3) % 3];
    return out;
}

// The runs that end in the chunk starting at block `chunk` (64 blocks of
// windows each; only the chunk's noted blocks hold bits).
[[gnu::always_inline]] inline void cut_chunk_runs(const ChunkStops& stops, std::size_t chunk, std::size_t count,
                                                  StopBlocksKernel stop_blocks, OrfCutter& cutter, Frames& frames) {
    // A run from a stop in block j to the first stop of block k holds the
    // k - j - 1 blocks between them and at most 124 bytes of j and k: it can
    // reach the shortest kept only after this many blocks without a stop.
    const std::size_t shortest = cutter.shortest();
    const std::size_t quiet_blocks = shortest <= 124 ? 0 : (shortest - 124 + 63) / 64;
    std::array<std::uint64_t, 6> blocks;
    stop_blocks(stops.forward.data(), stops.reverse.data(), count, blocks.data());
    // Not const: GCC 16 for 32-bit ARM fails with an internal error on these
    // arrays as const.
    std::array<std::uint64_t, 3> forward_blocks{blocks[0], blocks[1], blocks[2]};
    std::array<std::uint64_t, 3> reverse_blocks{blocks[3], blocks[4], blocks[5]};
    for (unsigned frame_class = 0; frame_class < 3; ++frame_class) {
        frames.forward_next[frame_class] = cut_frame_runs(
            stops.forward, frame_blocks(forward_blocks, chunk, frame_class), chunk, frame_class, quiet_blocks,
            frames.forward_next[frame_class],
            [&](std::size_t first, std::size_t end) { cutter.forward_run(frame_class, first, end, kNone, true); });
        frames.reverse_next[frame_class] = cut_frame_runs(
            stops.reverse, frame_blocks(reverse_blocks, chunk, frame_class), chunk, frame_class, quiet_blocks,
            frames.reverse_next[frame_class], [&](std::size_t first, std::size_t end) {
                cutter.reverse_run(frame_class, first, end, kNone, first >= 3, false);
            });
    }
}

// Blocks [first, end) of a text's windows; `heads`: those of a piece after
// the first, else null.
struct BlockSpan {
    std::size_t first, end;
    Heads* heads;
};

// The ORFs of the blocks into `lists`, and the frames after them; returns the
// bytes that are G or C, counted from the same letter masks.
template <bool with_starts, bool long_runs_only, bool standard_stops>
[[gnu::always_inline]] inline std::size_t scan(const unsigned char* bytes, std::size_t length, const OrfRules& rules,
                                               const LevelKernels& kernels, BlockSpan span,
                                               std::array<std::vector<Orf>, 6>& lists, Frames& frames) {
    const StrandCodons starts(with_starts ? rules.start_codons : 0);
    const StrandCodons stops(standard_stops ? 0 : rules.stop_codons);
    OrfCutter cutter(length, rules, lists);
    std::size_t gc = 0;
    const std::size_t windows = length - 2;
    const std::size_t blocks = (windows + 63) / 64;
    // Letters of a chunk of blocks and of the block after it.
    std::array<LetterMasks, kChunkBlocks + 1> letters;
    ChunkStops chunk_stops;
    bool heads_pending = span.heads != nullptr && span.heads->pending != 0;
    for (std::size_t chunk = span.first; chunk < span.end; chunk += kChunkBlocks) {
        const std::size_t in_chunk = std::min(kChunkBlocks, span.end - chunk);
        fill_letter_masks(bytes, length, chunk, in_chunk + 1, kernels.letter_masks, letters.data());
        // Each block's letters are read once, and serve as the next
        // block's of the one before.
        LetterMasks here = letters[0];
        for (std::size_t k = 0; k < in_chunk; ++k) {
            const std::size_t block = 64 * (chunk + k);
            // The next chunk's bytes are read while this one's are cut: its
            // first read would otherwise wait on memory a page at a time.
            if (block + 64 * kChunkBlocks < length) __builtin_prefetch(bytes + block + 64 * kChunkBlocks);
            const LetterMasks next = letters[k + 1];
            gc += static_cast<std::size_t>(std::popcount(here.g | here.c));
            // A window that reaches past the text reads padding, no letter:
            // it holds no codon.
            BlockEvents found = block_events<with_starts, standard_stops>(here, next, starts, stops);
            here = next;
            if (heads_pending) [[unlikely]] {
                take_heads(found, block, *span.heads, frames);
                heads_pending = span.heads->pending != 0;
            }
            if constexpr (long_runs_only && !with_starts) {
                chunk_stops.note(k, found);
            } else if constexpr (long_runs_only) {
                cut_long_runs_from_starts(found, block, cutter, frames);
            } else {
                cut_every_run<with_starts>(found, block, cutter, frames);
            }
        }
        if constexpr (long_runs_only && !with_starts)
            cut_chunk_runs(chunk_stops, chunk, in_chunk, kernels.stop_blocks, cutter, frames);
        // The last two bytes may lie in a block that holds no window.
        if (chunk + in_chunk == blocks && 64 * blocks < length)
            gc += static_cast<std::size_t>(std::popcount(letters[in_chunk].g | letters[in_chunk].c));
    }
    if (span.end == blocks && span.heads == nullptr) close_frames(length, frames, cutter);
    return gc;
}

template <bool standard_stops>
[[gnu::always_inline]] inline std::size_t scan_by_stops(const unsigned char* bytes, std::size_t length,
                                                      const OrfRules& rules, const LevelKernels& kernels,
                                                      BlockSpan span, std::array<std::vector<Orf>, 6>& lists,
                                                      Frames& frames) {
    // Two stops of one frame in one block are at most 63 bytes apart.
    const bool long_runs_only = rules.min_codons > 20;
    if (rules.from_start) {
        return long_runs_only ? scan<true, true, standard_stops>(bytes, length, rules, kernels, span, lists, frames)
                              : scan<true, false, standard_stops>(bytes, length, rules, kernels, span, lists, frames);
    }
    return long_runs_only ? scan<false, true, standard_stops>(bytes, length, rules, kernels, span, lists, frames)
                          : scan<false, false, standard_stops>(bytes, length, rules, kernels, span, lists, frames);
}

// The scan that `rules` ask for: TAA, TAG and TGA take a fixed expression,
// shorter than the terms of an arbitrary set.
[[gnu::always_inline]] inline std::size_t scan_by_rules(const unsigned char* bytes, std::size_t length,
                                                      const OrfRules& rules, const LevelKernels& kernels,
                                                      BlockSpan span, std::array<std::vector<Orf>, 6>& lists,
                                                      Frames& frames) {
    return rules.stop_codons == kStandardStops
               ? scan_by_stops<true>(bytes, length, rules, kernels, span, lists, frames)
               : scan_by_stops<false>(bytes, length, rules, kernels, span, lists, frames);
}

std::size_t scan_baseline(const unsigned char* bytes, std::size_t length, const OrfRules& rules,
                          const LevelKernels& kernels, BlockSpan span, std::array<std::vector<Orf>, 6>& lists,
                          Frames& frames) {
    return scan_by_rules(bytes, length, rules, kernels, span, lists, frames);
}

#if defined(__x86_64__)
// The baseline counts each block's G and C through a library call.
__attribute__((target("popcnt"))) std::size_t scan_popcnt(const unsigned char* bytes, std::size_t length,
                                                          const OrfRules& rules, const LevelKernels& kernels,
                                                          BlockSpan span, std::array<std::vector<Orf>, 6>& lists,
                                                          Frames& frames) {
    return scan_by_rules(bytes, length, rules, kernels, span, lists, frames);
}
#endif

std::size_t scan_with_cpu_bits(std::string_view sequence, const OrfRules& rules, ScanLevel level, BlockSpan span,
                               std::array<std::vector<Orf>, 6>& lists, Frames& frames) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(sequence.data());
    const LevelKernels& kernels = kernels_for(level);
#if defined(__x86_64__)
    static const bool popcnt = __builtin_cpu_supports("popcnt");
    if (popcnt) return scan_popcnt(bytes, sequence.size(), rules, kernels, span, lists, frames);
#endif
    return scan_baseline(bytes, sequence.size(), rules, kernels, span, lists, frames);
}

std::size_t count_gc_bytes(std::string_view sequence) noexcept {
    return static_cast<std::size_t>(std::count_if(sequence.begin(), sequence.end(), [](char b) {
        return kBaseCode[static_cast<unsigned char>(b)] == kC || kBaseCode[static_cast<unsigned char>(b)] == kG;
    }));
}

// Windows of 64 bytes in the text: the blocks the scan takes.
std::size_t window_blocks(std::size_t length) noexcept { return length < 3 ? 0 : (length - 2 + 63) / 64; }

// Kept per thread: most records are short, and their lists are small. A long
// record's lists are not kept for the short ones after it.
struct ThreadLists {
    std::array<std::vector<Orf>, 6>& take() {
        for (auto& list : lists) list.clear();
        return lists;
    }
    void trim() {
        for (auto& list : lists) {
            if (list.capacity() > (std::size_t{1} << 16)) std::vector<Orf>().swap(list);
        }
    }
    std::array<std::vector<Orf>, 6> lists;
};
thread_local ThreadLists thread_lists;

}  // namespace

std::size_t find_orfs(std::string_view sequence, const OrfRules& rules, std::vector<Orf>& out) {
    return find_orfs(sequence, rules, out, selected_scan_level());
}

std::size_t find_orfs(std::string_view sequence, const OrfRules& rules, std::vector<Orf>& out, ScanLevel level) {
    if (sequence.size() < 3) return count_gc_bytes(sequence);
    auto& lists = thread_lists.take();
    Frames frames;
    const std::size_t gc = scan_with_cpu_bits(sequence, rules, level, {0, window_blocks(sequence.size()), nullptr},
                                              lists, frames);
    merge_lists(lists, out);
    thread_lists.trim();
    return gc;
}

OrfPiece find_piece_orfs(std::string_view sequence, const OrfRules& rules, std::size_t piece, std::size_t pieces) {
    return find_piece_orfs(sequence, rules, piece, pieces, selected_scan_level());
}

OrfPiece find_piece_orfs(std::string_view sequence, const OrfRules& rules, std::size_t piece, std::size_t pieces,
                         ScanLevel level) {
    OrfPiece out;
    const std::size_t blocks = window_blocks(sequence.size());
    const std::size_t first = blocks * piece / pieces, end = blocks * (piece + 1) / pieces;
    if (blocks == 0) {
        if (piece == 0) out.gc_bytes = count_gc_bytes(sequence);
        return out;
    }
    Heads heads;
    heads.pending = piece == 0 ? 0u : 0x3fu;
    auto& lists = thread_lists.take();
    Frames frames;
    out.gc_bytes = scan_with_cpu_bits(sequence, rules, level, {first, end, &heads}, lists, frames);
    merge_lists(lists, out.orfs);
    thread_lists.trim();
    out.ends.first_stop = heads.first_stop;
    out.ends.start_before = heads.start_before;
    for (unsigned frame_class = 0; frame_class < 3; ++frame_class) {
        out.ends.next[frame_class] = frames.forward_next[frame_class];
        out.ends.next[3 + frame_class] = frames.reverse_next[frame_class];
        out.ends.start[frame_class] = frames.forward_start[frame_class];
        out.ends.start[3 + frame_class] = frames.reverse_start[frame_class];
    }
    return out;
}

std::size_t join_orf_pieces(std::string_view sequence, const OrfRules& rules, std::span<const OrfPiece> pieces,
                            std::vector<Orf>& out) {
    std::size_t gc = 0;
    for (const OrfPiece& piece : pieces) gc += piece.gc_bytes;
    if (sequence.size() < 3 || pieces.empty()) return gc;
    // The runs that cross into a later piece, and those that reach the end.
    auto& lists = thread_lists.take();
    OrfCutter cutter(sequence.size(), rules, lists);
    Frames carried;
    const auto carry = [&](const OrfPieceEnds& ends, unsigned frame_class) {
        carried.forward_next[frame_class] = ends.next[frame_class];
        carried.reverse_next[frame_class] = ends.next[3 + frame_class];
        carried.forward_start[frame_class] = ends.start[frame_class];
        carried.reverse_start[frame_class] = ends.start[3 + frame_class];
    };
    for (unsigned frame_class = 0; frame_class < 3; ++frame_class) carry(pieces[0].ends, frame_class);
    for (const OrfPiece& piece : pieces.subspan(1)) {
        const OrfPieceEnds& ends = piece.ends;
        for (unsigned frame_class = 0; frame_class < 3; ++frame_class) {
            const unsigned forward = frame_class, reverse = 3 + frame_class;
            std::size_t& forward_start = carried.forward_start[frame_class];
            if (forward_start == kNone) forward_start = ends.start_before[forward];
            if (ends.first_stop[forward] != kNone) {
                cutter.forward_run(frame_class, carried.forward_next[frame_class], ends.first_stop[forward],
                                   forward_start, true);
            }
            std::size_t& reverse_start = carried.reverse_start[frame_class];
            if (ends.start_before[reverse] != kNone) reverse_start = ends.start_before[reverse];
            if (ends.first_stop[reverse] != kNone) {
                std::size_t& next = carried.reverse_next[frame_class];
                cutter.reverse_run(frame_class, next, ends.first_stop[reverse], reverse_start, next >= 3, false);
            }
            // A class with a stop in the piece carries on from its last one.
            if (ends.first_stop[forward] != kNone) {
                carried.forward_next[frame_class] = ends.next[forward];
                carried.forward_start[frame_class] = ends.start[forward];
            }
            if (ends.first_stop[reverse] != kNone) {
                carried.reverse_next[frame_class] = ends.next[reverse];
                carried.reverse_start[frame_class] = ends.start[reverse];
            }
        }
    }
    close_frames(sequence.size(), carried, cutter);
    std::vector<Orf> crossing;
    merge_lists(lists, crossing);
    thread_lists.trim();
    // Every piece's ORFs begin inside it, after its own first stops: in piece
    // order they are ordered already.
    std::size_t total = crossing.size();
    for (const OrfPiece& piece : pieces) total += piece.orfs.size();
    if (out.capacity() < out.size() + total) out.reserve(std::max(out.size() + total, 2 * out.capacity()));
    auto next_crossing = crossing.begin();
    for (const OrfPiece& piece : pieces) {
        for (const Orf& orf : piece.orfs) {
            for (; next_crossing != crossing.end() && before(*next_crossing, orf); ++next_crossing)
                out.push_back(*next_crossing);
            out.push_back(orf);
        }
    }
    out.insert(out.end(), next_crossing, crossing.end());
    return gc;
}

}  // namespace marlinox::analysis
