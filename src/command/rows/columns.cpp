#include "command/rows/columns.hpp"

#include <algorithm>
#include <array>

namespace marlinox::command {
namespace {

constexpr std::array<std::string_view, 20> kNames = {
    "identifier", "length", "gc_fraction", "stop_free_run", "ratio",       "probability",
    "file",       "strand", "frame",       "start",         "end",         "log10_probability",
    "evalue",     "non_acgt", "orf",       "codons",        "partial",     "start_codon",
    "stop_codon", "record_length",
};
static_assert(kNames.size() == static_cast<std::size_t>(Column::record_length) + 1, "a name for every column");

using enum Column;
constexpr std::array<Column, 14> kRecordColumns = {identifier, length, gc_fraction, stop_free_run, ratio,
                                                   probability, file, strand, frame, start, end,
                                                   log10_probability, evalue, non_acgt};
constexpr std::array<Column, 17> kOrfColumns = {identifier, file,       orf,          strand,     frame,
                                                start,      end,        length,       codons,     partial,
                                                start_codon, stop_codon, gc_fraction, non_acgt,   record_length,
                                                evalue,     log10_probability};
constexpr std::array<Column, 6> kRecordDefault = {identifier, length, gc_fraction, stop_free_run, ratio, probability};
constexpr std::array<Column, 9> kOrfDefault = {identifier, orf, strand, frame, start, end, length, partial, evalue};

bool is_location(Column column) {
    return column == Column::strand || column == Column::frame || column == Column::start ||
           column == Column::end || column == Column::non_acgt;
}

}  // namespace

std::span<const Column> all_columns(bool orf_mode) noexcept {
    if (orf_mode) return kOrfColumns;
    return kRecordColumns;
}

std::span<const Column> default_columns(bool orf_mode) noexcept {
    if (orf_mode) return kOrfDefault;
    return kRecordDefault;
}

std::string_view column_name(Column column) noexcept { return kNames[static_cast<std::size_t>(column)]; }

std::span<const std::string_view> column_names() noexcept { return kNames; }

bool Layout::locates() const {
    return format != Format::tsv || max_non_acgt || std::any_of(columns.begin(), columns.end(), is_location);
}

std::string header_row(const Layout& layout) {
    if (!layout.header) return {};
    if (layout.format == Format::gff3) return "##gff-version 3\n";
    if (layout.format != Format::tsv) return {};
    std::string row;
    for (const Column column : layout.columns) {
        if (!row.empty()) row += '\t';
        row += column_name(column);
    }
    return row + '\n';
}

}  // namespace marlinox::command
