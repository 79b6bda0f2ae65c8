// The stop-free run kernel: longest run of codons without TAA, TAG or TGA in the
// six reading frames of a sequence and its reverse complement.

#include "analysis/stop_free_run.hpp"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <optional>

#include "analysis/kernels.hpp"
#include "analysis/level_kernels.hpp"
#include "analysis/unicode_tables.hpp"
#include "failure/utf8.hpp"
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
         utf8::repair(quoted) + "`" + std::string(ellipsis));
}

// Longest run of consecutive non-stop codons in frames 0, 1 and 2 of `strand`.
// Fails (marlinox::fail) at the first codon window, in scan order, whose start
// or end is not a character boundary.
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

std::size_t stop_free_run_literal(std::string_view sequence) {
    const std::string upper = uppercase_full(sequence);
    const std::string reverse = reverse_complement(upper);
    const std::size_t forward_score = strand_stop_free_run(upper);
    const std::size_t reverse_score = strand_stop_free_run(reverse);
    return std::max(forward_score, reverse_score);
}

// --- The one-pass ASCII scans, at the selected level or a given one --------------

namespace {

std::optional<std::size_t> run_if_ascii(const AsciiScan& scan) noexcept {
    if (!scan.ascii) return std::nullopt;
    return scan.run;
}

std::optional<RunAndGc> run_and_gc_if_ascii(const AsciiScan& scan) noexcept {
    if (!scan.ascii) return std::nullopt;
    return RunAndGc{scan.run, scan.gc};
}

std::optional<LocatedRun> located_if_ascii(const LocatedScan& scan, std::size_t length) noexcept {
    if (!scan.ascii) return std::nullopt;
    return LocatedRun{scan.run, scan.reverse, scan.frame, scan.start, scan.end, length - scan.acgt, scan.gc};
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

std::optional<RunAndGc> stop_free_run_and_gc_if_ascii(std::string_view sequence) noexcept {
    return run_and_gc_if_ascii(selected_kernels().stop_scan_with_gc(sequence));
}

std::optional<RunAndGc> stop_free_run_and_gc_if_ascii(std::string_view sequence, ScanLevel level) noexcept {
    return run_and_gc_if_ascii(kernels_for(level).stop_scan_with_gc(sequence));
}

std::optional<LocatedRun> locate_stop_free_run_if_ascii(std::string_view sequence) noexcept {
    return located_if_ascii(selected_kernels().located_scan(sequence), sequence.size());
}

std::optional<LocatedRun> locate_stop_free_run_if_ascii(std::string_view sequence, ScanLevel level) noexcept {
    return located_if_ascii(kernels_for(level).located_scan(sequence), sequence.size());
}

std::optional<RunAndGc> stop_free_run_and_gc_if_ascii(std::string_view sequence, CodonSet stops) noexcept {
    if (stops == kStandardStops) return stop_free_run_and_gc_if_ascii(sequence);
    return run_and_gc_if_ascii(selected_kernels().set_scan_with_gc(sequence, stops));
}

std::optional<RunAndGc> stop_free_run_and_gc_if_ascii(std::string_view sequence, CodonSet stops,
                                                      ScanLevel level) noexcept {
    if (stops == kStandardStops) return stop_free_run_and_gc_if_ascii(sequence, level);
    return run_and_gc_if_ascii(kernels_for(level).set_scan_with_gc(sequence, stops));
}

std::optional<LocatedRun> locate_stop_free_run_if_ascii(std::string_view sequence, CodonSet stops) noexcept {
    if (stops == kStandardStops) return locate_stop_free_run_if_ascii(sequence);
    return located_if_ascii(selected_kernels().located_set_scan(sequence, stops), sequence.size());
}

std::optional<LocatedRun> locate_stop_free_run_if_ascii(std::string_view sequence, CodonSet stops,
                                                        ScanLevel level) noexcept {
    if (stops == kStandardStops) return locate_stop_free_run_if_ascii(sequence, level);
    return located_if_ascii(kernels_for(level).located_set_scan(sequence, stops), sequence.size());
}

std::size_t calculate_stop_free_run_single(std::string_view sequence) {
    if (const std::optional<std::size_t> run = stop_free_run_if_ascii(sequence)) return *run;
    return stop_free_run_literal(sequence);
}

}  // namespace marlinox::analysis
