#include "analysis/orf_scan.hpp"

#include <algorithm>
#include <array>
#include <bit>

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

constexpr unsigned window_code(unsigned first, unsigned second, unsigned third) noexcept {
    return (first * 5 + second) * 5 + third;
}

// Per window of three base codes (window_code): bit 0 when it reads a stop on
// the forward strand (TAA, TAG, TGA), bit 1 when its reverse complement does
// (TTA, CTA, TCA).
constexpr std::array<unsigned char, 125> kWindowStops = [] {
    std::array<unsigned char, 125> stops{};
    for (unsigned last : {kA, kG}) stops[window_code(kT, kA, last)] |= 1;
    stops[window_code(kT, kG, kA)] |= 1;
    for (unsigned first : {kT, kC}) stops[window_code(first, kT, kA)] |= 2;
    stops[window_code(kT, kC, kA)] |= 2;
    return stops;
}();

// The stops of up to 64 windows starting at `p`: bit i of `forward` (of
// `reverse`) when the window at p + i reads a stop on that strand. The caller
// guarantees that every window lies inside the text.
void window_stops(const unsigned char* p, std::size_t windows, std::uint64_t& forward,
                  std::uint64_t& reverse) noexcept {
    forward = 0;
    reverse = 0;
    unsigned previous = kBaseCode[p[0]] * 5u + kBaseCode[p[1]];
    for (std::size_t i = 0; i < windows; ++i) {
        const unsigned code = previous * 5u + kBaseCode[p[i + 2]];
        const unsigned stops = kWindowStops[code];
        forward |= static_cast<std::uint64_t>(stops & 1u) << i;
        reverse |= static_cast<std::uint64_t>(stops >> 1) << i;
        previous = code % 25u;
    }
}

class OrfCutter {
public:
    OrfCutter(std::string_view sequence, const OrfRules& rules, std::vector<Orf>& out) noexcept
        : bytes_(reinterpret_cast<const unsigned char*>(sequence.data())),
          length_(sequence.size()),
          rules_(rules),
          out_(out) {}

    // The forward run [first, end) of whole codons; `stopped`: a stop codon
    // follows it at `end`.
    void forward_run(std::size_t first, std::size_t end, bool stopped) {
        if (!rules_.forward || end - first < 3 * rules_.min_codons) return;
        Orf orf{first, end, false, 0, first < 3, !stopped};
        if (rules_.from_start) {
            orf.open_five = false;
            while (orf.start < end && !is_start(codon_index(bytes_ + orf.start))) orf.start += 3;
        }
        keep(orf, static_cast<unsigned>(orf.start % 3));
    }

    // The reverse run [first, end); `stopped`: a stop codon on the reverse
    // strand lies just below `first`. `at_top`: `end` is the frame's last
    // whole codon on the forward strand, its first on the reverse one.
    void reverse_run(std::size_t first, std::size_t end, bool stopped, bool at_top) {
        if (!rules_.reverse || end - first < 3 * rules_.min_codons) return;
        Orf orf{first, end, true, 0, at_top, !stopped};
        if (rules_.from_start) {
            orf.open_five = false;
            while (orf.end > first && !is_start(reverse_codon_index(bytes_ + orf.end - 3))) orf.end -= 3;
        }
        keep(orf, static_cast<unsigned>((length_ - orf.end) % 3));
    }

private:
    bool is_start(int index) const noexcept {
        return index >= 0 && ((rules_.start_codons >> static_cast<unsigned>(index)) & 1u) != 0;
    }

    // The index of the reverse complement of the codon at `codon`.
    static int reverse_codon_index(const unsigned char* codon) noexcept {
        const unsigned first = kBaseCode[codon[2]], second = kBaseCode[codon[1]], third = kBaseCode[codon[0]];
        if ((first | second | third) > 3) return -1;
        return static_cast<int>(((3 - first) << 4) | ((3 - second) << 2) | (3 - third));
    }

    void keep(Orf orf, unsigned frame) {
        const std::size_t codons = orf.codons();
        if (codons == 0 || codons < rules_.min_codons || codons > rules_.max_codons) return;
        orf.frame = frame;
        out_.push_back(orf);
    }

    const unsigned char* bytes_;
    std::size_t length_;
    const OrfRules& rules_;
    std::vector<Orf>& out_;
};

}  // namespace

int codon_index(const unsigned char* codon) noexcept {
    const unsigned first = kBaseCode[codon[0]], second = kBaseCode[codon[1]], third = kBaseCode[codon[2]];
    if ((first | second | third) > 3) return -1;
    return static_cast<int>((first << 4) | (second << 2) | third);
}

void find_orfs(std::string_view sequence, const OrfRules& rules, std::vector<Orf>& out) {
    const std::size_t length = sequence.size();
    if (length < 3) return;
    const auto* bytes = reinterpret_cast<const unsigned char*>(sequence.data());
    const std::size_t first_new = out.size();
    OrfCutter cutter(sequence, rules, out);

    // Per class of position modulo 3, the first codon after the last stop
    // seen, on each strand; a frame's codons start at its class.
    std::array<std::size_t, 3> forward_next{0, 1, 2}, reverse_next{0, 1, 2};
    const std::size_t windows = length - 2;
    for (std::size_t block = 0; block < windows; block += 64) {
        std::uint64_t forward, reverse;
        window_stops(bytes + block, std::min<std::size_t>(64, windows - block), forward, reverse);
        const auto block_class = static_cast<unsigned>(block % 3);
        for (; forward != 0; forward &= forward - 1) {
            const auto bit = static_cast<unsigned>(std::countr_zero(forward));
            const std::size_t stop = block + bit;
            std::size_t& next = forward_next[(block_class + bit) % 3];
            cutter.forward_run(next, stop, true);
            next = stop + 3;
        }
        for (; reverse != 0; reverse &= reverse - 1) {
            const auto bit = static_cast<unsigned>(std::countr_zero(reverse));
            const std::size_t stop = block + bit;
            std::size_t& next = reverse_next[(block_class + bit) % 3];
            cutter.reverse_run(next, stop, next >= 3, false);
            next = stop + 3;
        }
    }
    for (std::size_t frame_class = 0; frame_class < 3 && frame_class + 3 <= length; ++frame_class) {
        const std::size_t top = frame_class + 3 * ((length - frame_class) / 3);
        cutter.forward_run(forward_next[frame_class], top, false);
        cutter.reverse_run(reverse_next[frame_class], top, reverse_next[frame_class] >= 3, true);
    }
    std::sort(out.begin() + static_cast<std::ptrdiff_t>(first_new), out.end(), [](const Orf& a, const Orf& b) {
        if (a.start != b.start) return a.start < b.start;
        if (a.end != b.end) return a.end < b.end;
        return !a.reverse && b.reverse;
    });
}

}  // namespace marlinox::analysis
