#include "analysis/orf_scan.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <limits>

#include "analysis/codon_windows.hpp"
#include "analysis/level_kernels.hpp"

namespace marlinox::analysis {
namespace {

// A, C, G, T in either case as 0 to 3; every other byte 4.
constexpr std::array<unsigned char, 256> kBaseCode = [] {
    std::array<unsigned char, 256> code{};
    code.fill(4);
    constexpr std::string_view letters = "ACGT";
    for (unsigned char value = 0; value < letters.size(); ++value) {
        const auto upper = static_cast<unsigned char>(letters[value]);
        code[upper] = value;
        code[upper | 0x20u] = value;
    }
    return code;
}();

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
    for (std::size_t k = direct; k < count; ++k) {
        alignas(64) std::array<unsigned char, 64> padded{};
        const std::size_t from = 64 * (first + k);
        if (from < length) std::copy(bytes + from, bytes + std::min(length, from + 64), padded.begin());
        kernel(padded.data(), 1, out + k);
    }
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
        lists_[list].push_back(orf);
    }

    std::size_t length_;
    const OrfRules& rules_;
    std::array<std::vector<Orf>, 6>& lists_;
    // Bytes of the shortest run that can hold an ORF that is kept.
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
    if (total <= 32) {
        // A short record's few ORFs: sorting them costs less than merging.
        const std::size_t first = out.size();
        for (const auto& list : lists) out.insert(out.end(), list.begin(), list.end());
        std::sort(out.begin() + static_cast<std::ptrdiff_t>(first), out.end(), before);
        return;
    }
    std::array<std::size_t, 6> next{};
    for (std::size_t written = 0; written < total; ++written) {
        std::size_t best = 6;
        for (std::size_t k = 0; k < 6; ++k) {
            if (next[k] < lists[k].size() && (best == 6 || before(lists[k][next[k]], lists[best][next[best]])))
                best = k;
        }
        out.push_back(lists[best][next[best]++]);
    }
}

// Bits p of a block with p modulo 3 equal to the index.
constexpr std::array<std::uint64_t, 3> kClassBits{0x9249249249249249u, 0x2492492492492492u, 0x4924924924924924u};

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
template <bool with_starts>
void cut_long_runs(const BlockEvents& found, std::size_t block, OrfCutter& cutter, Frames& frames) {
    const auto block_class = static_cast<unsigned>(block % 3);
    for (unsigned frame_class = 0; frame_class < 3; ++frame_class) {
        const std::uint64_t in_frame = kClassBits[(frame_class + 3 - block_class) % 3];
        const std::uint64_t stops = found.forward_stops & in_frame, starts = found.forward_starts & in_frame;
        std::size_t& start = frames.forward_start[frame_class];
        if (stops == 0) {
            if (with_starts && start == kNone && starts != 0) start = block + lowest(starts);
            continue;
        }
        const unsigned first = lowest(stops), last = highest(stops);
        if (with_starts && start == kNone && (starts & below(first)) != 0) start = block + lowest(starts);
        cutter.forward_run(frame_class, frames.forward_next[frame_class], block + first, start, true);
        frames.forward_next[frame_class] = block + last + 3;
        if (with_starts) start = (starts & above(last)) != 0 ? block + lowest(starts & above(last)) : kNone;
    }
    for (unsigned frame_class = 0; frame_class < 3; ++frame_class) {
        const std::uint64_t in_frame = kClassBits[(frame_class + 3 - block_class) % 3];
        const std::uint64_t stops = found.reverse_stops & in_frame, starts = found.reverse_starts & in_frame;
        std::size_t& start = frames.reverse_start[frame_class];
        if (stops == 0) {
            if (with_starts && starts != 0) start = block + highest(starts);
            continue;
        }
        const unsigned first = lowest(stops), last = highest(stops);
        if (with_starts && (starts & below(first)) != 0) start = block + highest(starts & below(first));
        std::size_t& next = frames.reverse_next[frame_class];
        cutter.reverse_run(frame_class, next, block + first, start, next >= 3, false);
        next = block + last + 3;
        if (with_starts) start = (starts & above(last)) != 0 ? block + highest(starts & above(last)) : kNone;
    }
}

// The ORFs into `lists`; returns the bytes that are G or C, counted from the
// same letter masks.
template <bool with_starts, bool long_runs_only, bool standard_stops>
std::size_t scan(const unsigned char* bytes, std::size_t length, const OrfRules& rules, LetterMasksKernel kernel,
                 std::array<std::vector<Orf>, 6>& lists) {
    const StrandCodons starts(with_starts ? rules.start_codons : 0);
    const StrandCodons stops(standard_stops ? 0 : rules.stop_codons);
    OrfCutter cutter(length, rules, lists);
    Frames frames;
    std::size_t gc = 0;
    const std::size_t windows = length - 2;
    const std::size_t blocks = (windows + 63) / 64;
    // Letters of a chunk of blocks and of the block after it.
    constexpr std::size_t kChunk = 64;
    std::array<LetterMasks, kChunk + 1> letters;
    for (std::size_t chunk = 0; chunk < blocks; chunk += kChunk) {
        const std::size_t in_chunk = std::min(kChunk, blocks - chunk);
        fill_letter_masks(bytes, length, chunk, in_chunk + 1, kernel, letters.data());
        for (std::size_t k = 0; k < in_chunk; ++k) {
            const std::size_t block = 64 * (chunk + k);
            gc += static_cast<std::size_t>(std::popcount(letters[k].g | letters[k].c));
            BlockEvents found = block_events<with_starts, standard_stops>(letters[k], letters[k + 1], starts, stops);
            if (windows - block < 64) {
                const std::uint64_t inside = below(static_cast<unsigned>(windows - block));
                found.forward_stops &= inside;
                found.reverse_stops &= inside;
                found.forward_starts &= inside;
                found.reverse_starts &= inside;
            }
            if constexpr (long_runs_only) {
                cut_long_runs<with_starts>(found, block, cutter, frames);
            } else {
                cut_every_run<with_starts>(found, block, cutter, frames);
            }
        }
        // The last two bytes may lie in a block that holds no window.
        if (chunk + in_chunk == blocks && 64 * blocks < length)
            gc += static_cast<std::size_t>(std::popcount(letters[in_chunk].g | letters[in_chunk].c));
    }
    for (unsigned frame_class = 0; frame_class < 3 && frame_class + 3 <= length; ++frame_class) {
        const std::size_t top = frame_class + 3 * ((length - frame_class) / 3);
        cutter.forward_run(frame_class, frames.forward_next[frame_class], top, frames.forward_start[frame_class],
                           false);
        cutter.reverse_run(frame_class, frames.reverse_next[frame_class], top, frames.reverse_start[frame_class],
                           frames.reverse_next[frame_class] >= 3, true);
    }
    return gc;
}

// The scan that `rules` ask for.
template <bool standard_stops>
std::size_t scan_by_rules(const unsigned char* bytes, std::size_t length, const OrfRules& rules,
                          LetterMasksKernel kernel, std::array<std::vector<Orf>, 6>& lists) {
    // Two stops of one frame in one block are at most 63 bytes apart.
    const bool long_runs_only = rules.min_codons > 20;
    if (rules.from_start) {
        return long_runs_only ? scan<true, true, standard_stops>(bytes, length, rules, kernel, lists)
                              : scan<true, false, standard_stops>(bytes, length, rules, kernel, lists);
    }
    return long_runs_only ? scan<false, true, standard_stops>(bytes, length, rules, kernel, lists)
                          : scan<false, false, standard_stops>(bytes, length, rules, kernel, lists);
}

}  // namespace

int codon_index(const unsigned char* codon) noexcept {
    const unsigned first = kBaseCode[codon[0]], second = kBaseCode[codon[1]], third = kBaseCode[codon[2]];
    if ((first | second | third) > 3) return -1;
    return static_cast<int>((first << 4) | (second << 2) | third);
}

std::size_t find_orfs(std::string_view sequence, const OrfRules& rules, std::vector<Orf>& out) {
    return find_orfs(sequence, rules, out, selected_scan_level());
}

std::size_t find_orfs(std::string_view sequence, const OrfRules& rules, std::vector<Orf>& out, ScanLevel level) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(sequence.data());
    if (sequence.size() < 3) {
        return static_cast<std::size_t>(std::count_if(bytes, bytes + sequence.size(), [](unsigned char b) {
            return kBaseCode[b] == kC || kBaseCode[b] == kG;
        }));
    }
    const LetterMasksKernel kernel = kernels_for(level).letter_masks;
    // Kept per thread: most records are short, and their lists are small.
    thread_local std::array<std::vector<Orf>, 6> lists;
    for (auto& list : lists) list.clear();
    const std::size_t gc = rules.stop_codons == kStandardStops
                               ? scan_by_rules<true>(bytes, sequence.size(), rules, kernel, lists)
                               : scan_by_rules<false>(bytes, sequence.size(), rules, kernel, lists);
    merge_lists(lists, out);
    // A long record's lists are not kept for the short ones after it.
    for (auto& list : lists) {
        if (list.capacity() > (std::size_t{1} << 16)) std::vector<Orf>().swap(list);
    }
    return gc;
}

}  // namespace marlinox::analysis
