// The longest run of a record as a BED line: one per record with a run of at
// least one codon.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "command/rows/record_values.hpp"

namespace marlinox::command {

// BED6: identifier ('.' when empty), start, end, "run=L", min(1000, L), strand.
void append_bed_line(std::string& out, std::string_view identifier, const RecordValues& values);

// The longest line for an identifier of this length.
std::size_t bed_line_bound(std::size_t identifier_length) noexcept;

}  // namespace marlinox::command
