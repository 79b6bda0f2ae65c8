#include "command/rows/bed.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>

#include "command/rows/float_repr.hpp"
#include "command/rows/thread_table.hpp"

namespace marlinox::command {
namespace {

// Writes a line in place at the end of `out`, in room made for the longest it
// can be: `name_bytes` for the name, a count and the fixed fields. A genome's
// ORFs are many short lines, where appending field by field costs more than
// the fields themselves.
template <class WriteName>
void append_line(std::string& out, std::string_view identifier, std::size_t start, std::size_t end,
                 std::size_t name_bytes, WriteName write_name, unsigned score, char strand) {
    const auto put = [](char* to, std::string_view text) {
        std::memcpy(to, text.data(), text.size());
        return to + text.size();
    };
    const std::size_t at = out.size();
    out.resize(at + std::max<std::size_t>(identifier.size(), 1) + name_bytes + 4 * kMaxCountLength + 6);
    char* const first = out.data() + at;
    char* to = put(first, identifier.empty() ? std::string_view(".") : identifier);
    *to++ = '\t';
    to = write_count(to, start);
    *to++ = '\t';
    to = write_count(to, end);
    *to++ = '\t';
    to = write_name(to);
    *to++ = '\t';
    to = write_count(to, score);
    *to++ = '\t';
    *to++ = strand;
    *to++ = '\n';
    out.resize(at + static_cast<std::size_t>(to - first));
}

// ORF scores remembered per thread by what they derive from: the record's
// length and q, and the ORF's codons. A genome's ORFs take a few hundred
// lengths, and reads a few thousand pairs of GC fraction and length, so most
// lines skip the power, the evalue's sum and the logarithm.
struct RememberedScore {
    std::uint64_t no_stop_bits;
    std::uint64_t length;
    std::uint64_t codons;  // 0: empty; an ORF holds at least one codon
    unsigned score;
};
constexpr unsigned kScoreSlotBits = 12;

unsigned orf_bed_score(const OrfValues& orf) noexcept {
    RememberedScore* const scores = thread_table<RememberedScore, std::size_t{1} << kScoreSlotBits>();
    if (scores == nullptr) return bed_score(orf.evalue());
    const std::uint64_t no_stop_bits = std::bit_cast<std::uint64_t>(orf.record().no_stop);
    const std::uint64_t length = orf.record().sequence.size(), codons = orf.codons();
    const std::uint64_t mixed = (no_stop_bits ^ (length * 0xC2B2AE3D27D4EB4Fu)) + codons;
    RememberedScore& slot = scores[(mixed * 0x9E3779B97F4A7C15u) >> (64 - kScoreSlotBits)];
    if (slot.codons != codons || slot.length != length || slot.no_stop_bits != no_stop_bits)
        slot = {no_stop_bits, length, codons, bed_score(orf.evalue())};
    return slot.score;
}

}  // namespace

unsigned bed_score(double evalue) noexcept {
    if (evalue == 0.0) return 1000;
    // std::round rounds halves away from zero.
    const double score = std::round(-10.0 * std::log10(evalue));
    return static_cast<unsigned>(std::clamp(score, 0.0, 1000.0));
}

void append_bed_line(std::string& out, std::string_view identifier, const RecordValues& values) {
    const auto name = [&](char* to) {
        std::memcpy(to, "run=", 4);
        return write_count(to + 4, values.located.run);
    };
    append_line(out, identifier, values.located.start, values.located.end, 4, name, bed_score(values.evalue()),
                values.strand_sign());
}

void append_orf_bed_line(std::string& out, const OrfValues& orf) {
    const std::string_view identifier = orf.record().identifier;
    const auto name = [&](char* to) {
        std::memcpy(to, identifier.data(), identifier.size());
        to += identifier.size();
        *to++ = '_';
        return write_count(to, orf.number());
    };
    append_line(out, identifier, orf.start(), orf.end(), identifier.size() + 1, name, orf_bed_score(orf),
                orf.strand_sign());
}

std::size_t bed_line_bound(std::size_t identifier_length) noexcept {
    // Four counts; tabs, "run=", the strand and the line end.
    return std::max<std::size_t>(identifier_length, 1) + 4 * kMaxCountLength + 11;
}

}  // namespace marlinox::command
