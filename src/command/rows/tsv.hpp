// The table's rows: the chosen columns, tab-separated, one line per record
// (per ORF in the ORF mode).
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "command/rows/columns.hpp"
#include "command/rows/orf_values.hpp"
#include "command/rows/record_values.hpp"

namespace marlinox::command {

// The row of `columns` for the record `identifier` read from `file` (its name
// as the file column writes it). Location fields are empty when the run is 0.
void append_tsv_row(std::string& out, const std::vector<Column>& columns, std::string_view identifier,
                    std::string_view file, const RecordValues& values);

// The row of `columns` for one ORF; start_codon and stop_codon are empty
// where the ORF has none.
void append_orf_tsv_row(std::string& out, const std::vector<Column>& columns, const OrfValues& orf);

// The longest row of `columns` for an identifier and a file name of these lengths.
std::size_t tsv_row_bound(const std::vector<Column>& columns, std::size_t identifier_length,
                          std::size_t file_length) noexcept;

}  // namespace marlinox::command
