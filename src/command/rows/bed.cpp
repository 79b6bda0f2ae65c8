#include "command/rows/bed.hpp"

#include <algorithm>
#include <cmath>

#include "command/rows/float_repr.hpp"

namespace marlinox::command {
namespace {

void append_bed_fields(std::string& out, std::string_view identifier, std::size_t start, std::size_t end) {
    out += identifier.empty() ? std::string_view(".") : identifier;
    out += '\t';
    append_count(out, start);
    out += '\t';
    append_count(out, end);
    out += '\t';
}

void append_score_and_strand(std::string& out, double evalue, char strand) {
    out += '\t';
    append_count(out, bed_score(evalue));
    out += '\t';
    out += strand;
    out += '\n';
}

}  // namespace

unsigned bed_score(double evalue) noexcept {
    if (evalue == 0.0) return 1000;
    // std::round rounds halves away from zero.
    const double score = std::round(-10.0 * std::log10(evalue));
    return static_cast<unsigned>(std::clamp(score, 0.0, 1000.0));
}

void append_bed_line(std::string& out, std::string_view identifier, const RecordValues& values) {
    append_bed_fields(out, identifier, values.located.start, values.located.end);
    out += "run=";
    append_count(out, values.located.run);
    append_score_and_strand(out, values.evalue(), values.strand_sign());
}

void append_orf_bed_line(std::string& out, const OrfValues& orf) {
    append_bed_fields(out, orf.record().identifier, orf.start(), orf.end());
    out += orf.record().identifier;
    out += '_';
    append_count(out, orf.number());
    append_score_and_strand(out, orf.evalue(), orf.strand_sign());
}

}  // namespace marlinox::command
