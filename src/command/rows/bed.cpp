#include "command/rows/bed.hpp"

#include <algorithm>
#include <cstdint>

#include "command/rows/float_repr.hpp"

namespace marlinox::command {

void append_bed_line(std::string& out, std::string_view identifier, const RecordValues& values) {
    out += identifier.empty() ? std::string_view(".") : identifier;
    out += '\t';
    append_count(out, values.located.start);
    out += '\t';
    append_count(out, values.located.end);
    out += "\trun=";
    append_count(out, values.located.run);
    out += '\t';
    append_count(out, std::min<std::uint64_t>(1000, values.located.run));
    out += '\t';
    out += values.strand_sign();
    out += '\n';
}

std::size_t bed_line_bound(std::size_t identifier_length) noexcept {
    // Four counts; tabs, "run=", the strand and the line end.
    return std::max<std::size_t>(identifier_length, 1) + 4 * kMaxCountLength + 11;
}

}  // namespace marlinox::command
