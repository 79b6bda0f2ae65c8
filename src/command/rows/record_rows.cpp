#include "command/rows/record_rows.hpp"

#include <algorithm>
#include <span>
#include <vector>

#include "command/rows/bed.hpp"
#include "command/rows/fasta.hpp"
#include "command/rows/gff3.hpp"
#include "command/rows/record_values.hpp"
#include "command/rows/spare_rows.hpp"
#include "command/rows/tsv.hpp"
#include "parallel/parallel_ordered_map.hpp"

namespace marlinox::command {
namespace {

bool kept(const Layout& layout, const RecordValues& values) {
    if (layout.min_run && values.stop_free_run() < *layout.min_run) return false;
    if (layout.max_non_acgt && values.located.non_acgt > *layout.max_non_acgt) return false;
    return !layout.max_evalue || values.evalue() <= *layout.max_evalue;
}

}  // namespace

std::vector<RecordRange> cut_ranges(const Batch& batch, std::size_t threads) {
    const std::size_t total = batch.bytes.size() + batch.records.size() * 64;
    const std::size_t target = std::clamp<std::size_t>(total / (8 * std::max<std::size_t>(threads, 1)),
                                                       std::size_t{16} << 10, std::size_t{1} << 20);
    std::vector<RecordRange> ranges;
    std::size_t first = 0;
    std::size_t bytes = 0;
    for (std::size_t i = 0; i < batch.records.size(); ++i) {
        const RecordSpan& record = batch.records[i];
        bytes += record.identifier_length + record.sequence_length + 64;
        if (bytes >= target) {
            ranges.push_back({first, i + 1 - first});
            first = i + 1;
            bytes = 0;
        }
    }
    if (first < batch.records.size()) ranges.push_back({first, batch.records.size() - first});
    return ranges;
}

void append_record(std::string& out, const Layout& layout, bool locate, std::string_view file,
                   std::string_view identifier, std::string_view sequence) {
    const RecordValues values = record_values(sequence, locate, layout.code->stops);
    if (!kept(layout, values)) return;
    if (layout.format != Format::tsv && values.stop_free_run() == 0) return;
    switch (layout.format) {
        case Format::tsv: append_tsv_row(out, layout.columns, identifier, file, values); break;
        case Format::bed: append_bed_line(out, identifier, values); break;
        case Format::fasta: append_run_fasta(out, identifier, sequence, values); break;
        case Format::protein: append_run_protein(out, identifier, sequence, values, layout.code->amino_acids); break;
        case Format::gff3: append_run_gff3(out, identifier, values); break;
    }
}

std::size_t row_bytes_bound(const Layout& layout, const RecordSpan& record) {
    // An ORF's rows are not bounded by its record; they are written in groups
    // of units of a few thousand rows each (orf_rows.cpp), never all at once.
    if (layout.orfs) return 0;
    const std::size_t identifier = record.identifier_length;
    switch (layout.format) {
        case Format::tsv:
            return tsv_row_bound(layout.columns, identifier, layout.file_names[record.file].size());
        case Format::bed: return bed_line_bound(identifier);
        case Format::fasta: return run_fasta_bound(identifier, record.sequence_length);
        case Format::protein: return run_protein_bound(identifier, record.sequence_length);
        case Format::gff3: return run_gff3_bound(identifier);
    }
    return 0;
}

parallel::OrderedResults<std::string> table_rows(const Batch& batch, std::size_t threads, const Layout& layout) {
    const std::vector<RecordRange> ranges = cut_ranges(batch, threads);
    const bool locate = layout.locates();
    const bool file_column = std::ranges::find(layout.columns, Column::file) != layout.columns.end();
    return parallel::parallel_ordered_map(std::span<const RecordRange>(ranges), [&](const RecordRange& range) {
        std::size_t name_bytes = 0;
        for (std::size_t i = range.first; i != range.first + range.count; ++i) {
            const RecordSpan& record = batch.records[i];
            name_bytes += record.identifier_length;
            if (file_column) name_bytes += layout.file_names[record.file].size();
        }
        // A typical field, float or count, with its tab takes at most 16 bytes.
        const std::size_t fields = std::max<std::size_t>(layout.columns.size(), 6);
        std::string rows = take_row_buffer(name_bytes + range.count * (8 + 16 * fields));
        for (std::size_t i = range.first; i != range.first + range.count; ++i) {
            const RecordSpan& record = batch.records[i];
            append_record(rows, layout, locate, layout.file_names[record.file], batch.identifier(record),
                          batch.sequence(record));
        }
        return rows;
    });
}

}  // namespace marlinox::command
