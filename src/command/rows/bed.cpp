#include "command/rows/bed.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "command/rows/float_repr.hpp"

namespace marlinox::command {
namespace {

// Writes a line in place at the end of `out`, in room made for the longest it
// can be: `name_bytes` for the name, a count and the fixed fields. A genome's
// ORFs are many short lines, where appending field by field costs more than
// the fields themselves.
template <class WriteName>
void append_line(std::string& out, std::string_view identifier, std::size_t start, std::size_t end,
                 std::size_t name_bytes, WriteName write_name, double evalue, char strand) {
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
    to = write_count(to, bed_score(evalue));
    *to++ = '\t';
    *to++ = strand;
    *to++ = '\n';
    out.resize(at + static_cast<std::size_t>(to - first));
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
    append_line(out, identifier, values.located.start, values.located.end, 4, name, values.evalue(),
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
    append_line(out, identifier, orf.start(), orf.end(), identifier.size() + 1, name, orf.evalue(),
                orf.strand_sign());
}

std::size_t bed_line_bound(std::size_t identifier_length) noexcept {
    // Four counts; tabs, "run=", the strand and the line end.
    return std::max<std::size_t>(identifier_length, 1) + 4 * kMaxCountLength + 11;
}

}  // namespace marlinox::command
