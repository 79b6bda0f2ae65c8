// The stop-free run kernel: longest run of codons without TAA, TAG or TGA in the
// six reading frames of a sequence and its reverse complement.

#include "analysis/stop_free_run.hpp"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>

#include "analysis/kernels.hpp"
#include "analysis/unicode_tables.hpp"
#include "analysis/utf8.hpp"
#include "failure/internal_failure.hpp"

namespace marlinox::analysis {
namespace {

constexpr std::size_t kCodon = 3;
constexpr std::array<std::string_view, 3> kStopCodons = {"TAA", "TAG", "TGA"};

// Longest text quoted in the boundary failure message before it is cut.
constexpr std::size_t kMaxQuotedBytes = 256;

char complement(char c) noexcept {
    switch (c) {
        case 'A': case 'a': return 'T';
        case 'C': case 'c': return 'G';
        case 'G': case 'g': return 'C';
        case 'T': case 't': return 'A';
        default: return c;
    }
}

bool is_char_boundary(std::string_view text, std::size_t pos) noexcept {
    return pos == 0 || pos >= text.size() ||
           !utf8::is_continuation(static_cast<unsigned char>(text[pos]));
}

std::string hex(std::uint32_t value) {
    char buffer[9];
    std::size_t n = 0;
    do {
        buffer[n++] = "0123456789abcdef"[value & 0xF];
        value >>= 4;
    } while (value != 0);
    std::reverse(buffer, buffer + n);
    return {buffer, n};
}

// A character as the message shows it between quotes: combining marks and
// non-printable characters as \u{hex}, an invalid byte as \x{hex}.
std::string describe(const utf8::Char& ch, std::string_view bytes) {
    if (!ch.valid) return "\\x{" + hex(ch.cp) + "}";
    if (unicode::is_escaped_in_messages(ch.cp)) return "\\u{" + hex(ch.cp) + "}";
    return std::string(bytes);
}

// The text as valid UTF-8, each invalid byte replaced by U+FFFD, so the message
// can always become a Python str.
std::string printable_text(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t pos = 0; pos < text.size();) {
        const utf8::Char ch = utf8::decode(text, pos);
        if (ch.valid)
            out.append(text.substr(pos, ch.length));
        else
            utf8::append(out, U'\uFFFD');
        pos += ch.length;
    }
    return out;
}

[[noreturn]] void fail_not_char_boundary(std::string_view text, std::size_t index) {
    const utf8::Located at = utf8::locate(text, index);
    std::string_view quoted = text;
    std::string_view ellipsis;
    if (text.size() > kMaxQuotedBytes) {
        quoted = text.substr(0, is_char_boundary(text, kMaxQuotedBytes)
                                    ? kMaxQuotedBytes
                                    : utf8::locate(text, kMaxQuotedBytes).start);
        ellipsis = "[...]";
    }
    fail("byte index " + std::to_string(index) + " is not a char boundary; it is inside '" +
         describe(at.ch, text.substr(at.start, at.ch.length)) + "' (bytes " +
         std::to_string(at.start) + ".." + std::to_string(at.start + at.ch.length) + ") of `" +
         printable_text(quoted) + "`" + std::string(ellipsis));
}

// --- ASCII scan ----------------------------------------------------------------

// 3-bit nucleotide codes, either case; every other byte is 0.
enum : std::uint8_t { kOther = 0, kT = 1, kA = 2, kG = 3, kC = 4 };

constexpr std::array<std::uint8_t, 256> kBaseCode = [] {
    std::array<std::uint8_t, 256> code{};
    code['T'] = code['t'] = kT;
    code['A'] = code['a'] = kA;
    code['G'] = code['g'] = kG;
    code['C'] = code['c'] = kC;
    return code;
}();

constexpr unsigned triplet(unsigned a, unsigned b, unsigned c) { return a << 6 | b << 3 | c; }
constexpr unsigned kTripletMask = 0x1FF;

// For each triplet of codes read forward: bit 0 when it is a stop codon, bit 1
// when its reverse complement is one. The reverse complements of TAA, TAG and
// TGA read forward are TTA, CTA and TCA.
enum : std::uint8_t { kForwardStop = 1, kReverseStop = 2 };

constexpr std::array<std::uint8_t, 512> kStopFlags = [] {
    std::array<std::uint8_t, 512> flags{};
    flags[triplet(kT, kA, kA)] |= kForwardStop;
    flags[triplet(kT, kA, kG)] |= kForwardStop;
    flags[triplet(kT, kG, kA)] |= kForwardStop;
    flags[triplet(kT, kT, kA)] |= kReverseStop;
    flags[triplet(kC, kT, kA)] |= kReverseStop;
    flags[triplet(kT, kC, kA)] |= kReverseStop;
    return flags;
}();

// Run counters of one residue class of window starts: the forward frame and the
// reverse frame that read the same windows.
struct FramePair {
    std::size_t forward = 0;
    std::size_t reverse = 0;
};

}  // namespace

// --- Literal kernel --------------------------------------------------------------

std::string uppercase_full(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    char32_t upper[unicode::kMaxUpperLength];
    for (std::size_t pos = 0; pos < text.size();) {
        const auto byte = static_cast<unsigned char>(text[pos]);
        if (byte < 0x80) {
            out.push_back(byte >= 'a' && byte <= 'z' ? static_cast<char>(byte - 0x20)
                                                     : static_cast<char>(byte));
            ++pos;
            continue;
        }
        const utf8::Char ch = utf8::decode(text, pos);
        if (ch.valid) {
            const std::size_t n = unicode::to_upper_full(ch.cp, upper);
            for (std::size_t k = 0; k < n; ++k) utf8::append(out, upper[k]);
        } else {
            out.push_back(static_cast<char>(byte));  // invalid bytes upper-case to themselves
        }
        pos += ch.length;
    }
    return out;
}

std::string reverse_complement(std::string_view text) {
    const std::size_t m = text.size();
    std::string out(m, '\0');
    for (std::size_t pos = 0; pos < m;) {
        const std::size_t length = utf8::decode(text, pos).length;
        const std::size_t to = m - pos - length;
        if (length == 1)
            out[to] = complement(text[pos]);
        else
            std::memcpy(out.data() + to, text.data() + pos, length);
        pos += length;
    }
    return out;
}

std::size_t strand_stop_free_run(std::string_view strand) {
    const std::size_t m = strand.size();
    std::size_t best = 0;
    for (std::size_t frame = 0; frame < kCodon; ++frame) {
        std::size_t start = frame;
        std::size_t i = frame;
        for (; i + kCodon <= m; i += kCodon) {
            if (!is_char_boundary(strand, i)) fail_not_char_boundary(strand, i);
            if (!is_char_boundary(strand, i + kCodon)) fail_not_char_boundary(strand, i + kCodon);
            const std::string_view window = strand.substr(i, kCodon);
            if (std::find(kStopCodons.begin(), kStopCodons.end(), window) != kStopCodons.end()) {
                best = std::max(best, (i - start) / kCodon);
                start = i + kCodon;
            }
        }
        best = std::max(best, (i - start) / kCodon);
    }
    return best;
}

std::size_t stop_free_run_literal(std::string_view sequence) {
    const std::string upper = uppercase_full(sequence);
    const std::string reverse = reverse_complement(upper);
    const std::size_t forward_score = strand_stop_free_run(upper);
    const std::size_t reverse_score = strand_stop_free_run(reverse);
    return std::max(forward_score, reverse_score);
}

// --- ASCII kernel ----------------------------------------------------------------
//
// On ASCII text upper-casing keeps every byte in place and the reverse
// complement R of the m-byte text maps window k of R onto the forward bytes
// m-3-k .. m-1-k. Reverse frame f therefore reads, backwards, exactly the
// windows that start at the forward positions congruent to m-f modulo 3, while
// forward frame f reads those congruent to f. So each residue class of window
// starts carries one forward and one reverse frame, and a single forward pass
// that tracks, per class, the current run of the forward reading (reset by TAA,
// TAG, TGA) and of the reverse reading (reset by TTA, CTA, TCA) sees all six
// frames. A run's length does not depend on the direction it is read in.

std::size_t stop_free_run_ascii(std::string_view sequence) noexcept {
    const std::size_t m = sequence.size();
    if (m < kCodon) return 0;
    const auto* bytes = reinterpret_cast<const unsigned char*>(sequence.data());
    const std::size_t windows = m - kCodon + 1;

    unsigned key = triplet(0, kBaseCode[bytes[0]], kBaseCode[bytes[1]]);
    std::size_t best = 0;
    // Window j: shift in byte j+2, then extend or reset both runs of its class.
    const auto step = [&](FramePair& runs, std::size_t j) {
        key = ((key << 3) | kBaseCode[bytes[j + 2]]) & kTripletMask;
        const unsigned flags = kStopFlags[key];
        // All ones to keep counting, zero to reset at a stop.
        const std::size_t keep_forward = std::size_t{(flags & kForwardStop) != 0} - 1;
        const std::size_t keep_reverse = std::size_t{(flags & kReverseStop) != 0} - 1;
        runs.forward = (runs.forward + 1) & keep_forward;
        runs.reverse = (runs.reverse + 1) & keep_reverse;
        best = std::max(best, std::max(runs.forward, runs.reverse));
    };

    FramePair class0, class1, class2;
    std::size_t j = 0;
    for (; j + 3 <= windows; j += 3) {
        step(class0, j);
        step(class1, j + 1);
        step(class2, j + 2);
    }
    if (j < windows) step(class0, j);
    if (j + 1 < windows) step(class1, j + 1);
    return best;
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

std::size_t calculate_stop_free_run_single(std::string_view sequence) {
    return is_ascii(sequence) ? stop_free_run_ascii(sequence) : stop_free_run_literal(sequence);
}

}  // namespace marlinox::analysis
