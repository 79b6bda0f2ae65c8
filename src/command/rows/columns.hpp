// What the command writes: the table's columns, the output format, the
// filters, and the names of the input files for the file column.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace marlinox::command {

enum class Column : unsigned char {
    identifier,
    length,
    gc_fraction,
    stop_free_run,
    ratio,
    probability,
    file,
    strand,
    frame,
    start,
    end,
    log10_probability,
    evalue,
    non_acgt,
};

enum class Format : unsigned char { tsv, bed, fasta, protein };

struct Layout {
    Format format = Format::tsv;
    // tsv only; the first six columns unless --columns chose others.
    std::vector<Column> columns;
    bool header = true;
    std::optional<std::uint64_t> min_run;
    std::optional<double> max_evalue;
    // Per input file, as the file column writes it.
    std::vector<std::string> file_names;

    // Something written needs the run's location or the count of bytes other
    // than ACGT, which the located scan gives.
    bool locates() const;
};

std::span<const Column> default_columns() noexcept;
std::string_view column_name(Column column) noexcept;
// Every column's name, in the order of Column.
std::span<const std::string_view> column_names() noexcept;

// The header row of the layout; empty when none is written.
std::string header_row(const Layout& layout);

}  // namespace marlinox::command
