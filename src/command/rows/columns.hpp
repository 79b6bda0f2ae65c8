// What the command writes: the table's columns, the output format, the
// filters, and the names of the input files for the file column.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "analysis/genetic_codes.hpp"
#include "analysis/orf_scan.hpp"

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
    // Of the ORF mode only.
    orf,
    codons,
    partial,
    start_codon,
    stop_codon,
    record_length,
};

enum class Format : unsigned char { tsv, bed, fasta, protein, gff3 };

// One row per ORF instead of one per record: which ORFs, on which strands.
struct OrfLayout {
    analysis::OrfRules rules;
    // An ORF that ends at a stop codon takes it into its position, its byte
    // counts and its sequence; never into its codons or the length filters.
    bool include_stop = false;
};

struct Layout {
    Format format = Format::tsv;
    // tsv only; the mode's default columns unless --columns chose others.
    std::vector<Column> columns;
    bool header = true;
    std::optional<std::uint64_t> min_run;
    std::optional<double> max_evalue;
    std::optional<std::uint64_t> max_non_acgt;
    // Its stops end runs and ORFs in both modes; its amino acids translate.
    const analysis::GeneticCode* code = analysis::genetic_code(1);
    // The ORF mode; one row per record without it.
    std::optional<OrfLayout> orfs;
    // Per input file, as the file column writes it.
    std::vector<std::string> file_names;

    // Something written needs the run's location or the count of bytes other
    // than ACGT, which the located scan gives.
    bool locates() const;
};

// The columns of one mode ('all', in order) and its default columns.
std::span<const Column> all_columns(bool orf_mode) noexcept;
std::span<const Column> default_columns(bool orf_mode) noexcept;
std::string_view column_name(Column column) noexcept;
// Every column's name, in the order of Column.
std::span<const std::string_view> column_names() noexcept;

// The header row of the layout; empty when none is written.
std::string header_row(const Layout& layout);

}  // namespace marlinox::command
