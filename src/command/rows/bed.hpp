// Runs and ORFs as BED6 lines.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "command/rows/orf_values.hpp"
#include "command/rows/record_values.hpp"

namespace marlinox::command {

// The score of a feature of that evalue, so that browsers shade and sorting
// ranks by surprise: min(1000, max(0, round(-10 log10(evalue)))), halves
// rounded away from zero; 1000 for an evalue of 0.0.
unsigned bed_score(double evalue) noexcept;

// Identifier ('.' when empty), start, end, "run=L", score, strand: one line
// per record with a run of at least one codon.
void append_bed_line(std::string& out, std::string_view identifier, const RecordValues& values);

// Identifier ('.' when empty), start, end, "{identifier}_{orf}", score, strand.
void append_orf_bed_line(std::string& out, const OrfValues& orf);

// The longest line for an identifier of this length.
std::size_t bed_line_bound(std::size_t identifier_length) noexcept;

}  // namespace marlinox::command
