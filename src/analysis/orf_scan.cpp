#include "analysis/orf_scan.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <limits>

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

// Three base codes of three bits each, first base highest: a window's index
// into the event tables, updated by one shift per byte.
constexpr unsigned kWindowBits = 9;
constexpr unsigned kWindowMask = (1u << kWindowBits) - 1;

constexpr unsigned window_code(unsigned first, unsigned second, unsigned third) noexcept {
    return (first << 6) | (second << 3) | third;
}

// What a window is, one bit each: a stop on the forward strand (TAA, TAG,
// TGA), a stop on the reverse one (its reverse complement: TTA, CTA, TCA), a
// start on the forward strand, a start on the reverse one.
enum Event : unsigned char { kForwardStop = 1, kReverseStop = 2, kForwardStart = 4, kReverseStart = 8 };
using EventTable = std::array<unsigned char, 1u << kWindowBits>;

constexpr EventTable kStopEvents = [] {
    EventTable events{};
    for (unsigned last : {kA, kG}) events[window_code(kT, kA, last)] |= kForwardStop;
    events[window_code(kT, kG, kA)] |= kForwardStop;
    for (unsigned first : {kT, kC}) events[window_code(first, kT, kA)] |= kReverseStop;
    events[window_code(kT, kC, kA)] |= kReverseStop;
    return events;
}();

// The stops, and the start codons of `start_codons` (OrfRules) on both strands.
EventTable events_for(std::uint64_t start_codons) noexcept {
    EventTable events = kStopEvents;
    for (unsigned codon = 0; codon < 64; ++codon) {
        if (((start_codons >> codon) & 1u) == 0) continue;
        const unsigned first = codon >> 4, second = (codon >> 2) & 3u, third = codon & 3u;
        events[window_code(first, second, third)] |= kForwardStart;
        events[window_code(3 - third, 3 - second, 3 - first)] |= kReverseStart;
    }
    return events;
}

// Up to 64 windows starting at `p`, one bit per window in each mask. The
// caller guarantees that every window lies inside the text.
struct BlockEvents {
    std::uint64_t forward_stops = 0, reverse_stops = 0, forward_starts = 0, reverse_starts = 0;
};

template <bool with_starts>
BlockEvents block_events(const unsigned char* p, std::size_t windows, const EventTable& events) noexcept {
    BlockEvents out;
    unsigned code = (static_cast<unsigned>(kBaseCode[p[0]]) << 3) | kBaseCode[p[1]];
    for (std::size_t i = 0; i < windows; ++i) {
        code = ((code << 3) | kBaseCode[p[i + 2]]) & kWindowMask;
        const std::uint64_t event = events[code];
        out.forward_stops |= (event & 1u) << i;
        out.reverse_stops |= ((event >> 1) & 1u) << i;
        if constexpr (with_starts) {
            out.forward_starts |= ((event >> 2) & 1u) << i;
            out.reverse_starts |= ((event >> 3) & 1u) << i;
        }
    }
    return out;
}

constexpr std::size_t kNone = std::numeric_limits<std::size_t>::max();

// The ORFs of one strand's frames, kept per class of position modulo 3 so
// that each list comes out ordered by position; the lists are merged at the
// end.
class OrfCutter {
public:
    OrfCutter(std::size_t length, const OrfRules& rules, std::array<std::vector<Orf>, 6>& lists) noexcept
        : length_(length), rules_(rules), lists_(lists) {}

    // The forward run [first, end) of whole codons of class `frame_class`, from
    // the first start codon at or after `first_start` (kNone: none) when the
    // rules ask for one; `stopped`: a stop codon follows it at `end`.
    void forward_run(unsigned frame_class, std::size_t first, std::size_t end, std::size_t first_start,
                     bool stopped) {
        if (!rules_.forward) return;
        Orf orf{first, end, false, frame_class, first < 3, !stopped};
        if (rules_.from_start) {
            if (first_start == kNone || first_start >= end) return;
            orf.start = first_start;
            orf.open_five = false;
        }
        keep(orf, frame_class);
    }

    // The reverse run [first, end) of class `frame_class`; `stopped`: a stop
    // on the reverse strand lies just below `first`; `at_top`: `end` is the
    // frame's last whole codon on the forward strand, its first on the
    // reverse one. `last_start`: the highest reverse start window in the run.
    void reverse_run(unsigned frame_class, std::size_t first, std::size_t end, std::size_t last_start,
                     bool stopped, bool at_top) {
        if (!rules_.reverse) return;
        Orf orf{first, end, true, 0, at_top, !stopped};
        if (rules_.from_start) {
            if (last_start == kNone || last_start < first) return;
            orf.end = last_start + 3;
            orf.open_five = false;
        }
        orf.frame = static_cast<unsigned>((length_ - orf.end) % 3);
        keep(orf, 3 + frame_class);
    }

private:
    void keep(const Orf& orf, unsigned list) {
        const std::size_t codons = orf.codons();
        if (codons == 0 || codons < rules_.min_codons || codons > rules_.max_codons) return;
        lists_[list].push_back(orf);
    }

    std::size_t length_;
    const OrfRules& rules_;
    std::array<std::vector<Orf>, 6>& lists_;
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
    out.reserve(out.size() + total);
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

template <bool with_starts>
void scan(const unsigned char* bytes, std::size_t length, const OrfRules& rules,
          std::array<std::vector<Orf>, 6>& lists) {
    const EventTable events = with_starts ? events_for(rules.start_codons) : kStopEvents;
    OrfCutter cutter(length, rules, lists);
    // Per class of position modulo 3 and strand: the first codon after the
    // last stop seen; with starts, the first forward start and the last
    // reverse start since then.
    std::array<std::size_t, 3> forward_next{0, 1, 2}, reverse_next{0, 1, 2};
    std::array<std::size_t, 3> forward_start{kNone, kNone, kNone}, reverse_start{kNone, kNone, kNone};
    const std::size_t windows = length - 2;
    for (std::size_t block = 0; block < windows; block += 64) {
        const std::size_t count = std::min<std::size_t>(64, windows - block);
        BlockEvents found = block_events<with_starts>(bytes + block, count, events);
        const auto block_class = static_cast<unsigned>(block % 3);
        // Forward: starts and stops in position order, so that a start after
        // a stop belongs to the next run.
        std::uint64_t forward = found.forward_stops | found.forward_starts;
        for (; forward != 0; forward &= forward - 1) {
            const auto bit = static_cast<unsigned>(std::countr_zero(forward));
            const std::size_t at = block + bit;
            const unsigned frame_class = (block_class + bit) % 3;
            if (with_starts && ((found.forward_starts >> bit) & 1u) != 0) {
                std::size_t& start = forward_start[frame_class];
                if (start == kNone) start = at;
            }
            if (((found.forward_stops >> bit) & 1u) != 0) {
                cutter.forward_run(frame_class, forward_next[frame_class], at, forward_start[frame_class], true);
                forward_next[frame_class] = at + 3;
                forward_start[frame_class] = kNone;
            }
        }
        std::uint64_t reverse = found.reverse_stops | found.reverse_starts;
        for (; reverse != 0; reverse &= reverse - 1) {
            const auto bit = static_cast<unsigned>(std::countr_zero(reverse));
            const std::size_t at = block + bit;
            const unsigned frame_class = (block_class + bit) % 3;
            if (((found.reverse_stops >> bit) & 1u) != 0) {
                std::size_t& next = reverse_next[frame_class];
                cutter.reverse_run(frame_class, next, at, reverse_start[frame_class], next >= 3, false);
                next = at + 3;
                reverse_start[frame_class] = kNone;
            } else {
                reverse_start[frame_class] = at;
            }
        }
    }
    for (unsigned frame_class = 0; frame_class < 3 && frame_class + 3 <= length; ++frame_class) {
        const std::size_t top = frame_class + 3 * ((length - frame_class) / 3);
        cutter.forward_run(frame_class, forward_next[frame_class], top, forward_start[frame_class], false);
        cutter.reverse_run(frame_class, reverse_next[frame_class], top, reverse_start[frame_class],
                           reverse_next[frame_class] >= 3, true);
    }
}

}  // namespace

int codon_index(const unsigned char* codon) noexcept {
    const unsigned first = kBaseCode[codon[0]], second = kBaseCode[codon[1]], third = kBaseCode[codon[2]];
    if ((first | second | third) > 3) return -1;
    return static_cast<int>((first << 4) | (second << 2) | third);
}

void find_orfs(std::string_view sequence, const OrfRules& rules, std::vector<Orf>& out) {
    if (sequence.size() < 3) return;
    const auto* bytes = reinterpret_cast<const unsigned char*>(sequence.data());
    // Kept per thread: most records are short, and their lists are small.
    thread_local std::array<std::vector<Orf>, 6> lists;
    for (auto& list : lists) list.clear();
    if (rules.from_start) {
        scan<true>(bytes, sequence.size(), rules, lists);
    } else {
        scan<false>(bytes, sequence.size(), rules, lists);
    }
    merge_lists(lists, out);
    // A long record's lists are not kept for the short ones after it.
    for (auto& list : lists) {
        if (list.capacity() > (std::size_t{1} << 16)) std::vector<Orf>().swap(list);
    }
}

}  // namespace marlinox::analysis
