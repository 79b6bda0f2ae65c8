#include "command/rows/orf_rows.hpp"

#include <algorithm>
#include <span>
#include <tuple>
#include <vector>

#include "command/rows/bed.hpp"
#include "command/rows/fasta.hpp"
#include "command/rows/gff3.hpp"
#include "command/rows/record_rows.hpp"
#include "command/rows/tsv.hpp"
#include "parallel/parallel_ordered_map.hpp"

namespace marlinox::command {
namespace {

// Rows formatted by one worker at a time: large enough that handing a unit
// over costs little, small enough that a long record's rows spread over
// every worker.
constexpr std::size_t kUnitRows = 4096;

// The ORFs kept of the records of one range, record after record.
struct RangeOrfs {
    std::vector<analysis::Orf> orfs;
    // Per record of the range: where its ORFs begin in `orfs`, and one past the last.
    std::vector<std::size_t> first_orf;
    std::vector<double> no_stop;
};

// Up to kUnitRows consecutive ORFs of one range, of one record or of many.
struct Unit {
    const RangeOrfs* range;
    std::size_t first_record;  // in the batch, of the range's first record
    std::size_t first_orf, end_orf;
};

OrfRecord orf_record(const Batch& batch, const Layout& layout, std::size_t record, double no_stop) {
    const RecordSpan& span = batch.records[record];
    return {batch.identifier(span), layout.file_names[span.file], batch.sequence(span), no_stop,
            layout.orfs->rules.from_start, layout.orfs->include_stop, layout.code->amino_acids};
}

bool kept(const Layout& layout, const OrfValues& orf) {
    if (layout.max_non_acgt && orf.non_acgt() > *layout.max_non_acgt) return false;
    return !layout.max_evalue || orf.evalue() <= *layout.max_evalue;
}

RangeOrfs find_range_orfs(const Batch& batch, const Layout& layout, const RecordRange& range) {
    RangeOrfs found;
    found.first_orf.reserve(range.count + 1);
    found.no_stop.reserve(range.count);
    for (std::size_t i = range.first; i != range.first + range.count; ++i) {
        const std::size_t first = found.orfs.size();
        found.first_orf.push_back(first);
        const std::string_view sequence = batch.sequence(batch.records[i]);
        const std::size_t gc_bytes = analysis::find_orfs(sequence, layout.orfs->rules, found.orfs);
        found.no_stop.push_back(record_no_stop(sequence.size(), gc_bytes, layout.orfs->rules.stop_codons));
        if (layout.orfs->include_stop) {
            // Ordered as written: a stop codon moves an ORF's end (on '-', its start).
            const auto key = [&](const analysis::Orf& orf) {
                return std::tuple(written_start(orf, true), written_end(orf, true), orf.reverse);
            };
            std::sort(found.orfs.begin() + static_cast<std::ptrdiff_t>(first), found.orfs.end(),
                      [&](const analysis::Orf& a, const analysis::Orf& b) { return key(a) < key(b); });
        }
        if (!layout.max_non_acgt && !layout.max_evalue) continue;
        // Filtered before the rows are numbered, which counts the rows written.
        const OrfRecord record = orf_record(batch, layout, i, found.no_stop.back());
        const auto dropped = [&](const analysis::Orf& orf) { return !kept(layout, OrfValues(record, orf, 0)); };
        found.orfs.erase(std::remove_if(found.orfs.begin() + static_cast<std::ptrdiff_t>(first), found.orfs.end(),
                                        dropped),
                         found.orfs.end());
    }
    found.first_orf.push_back(found.orfs.size());
    return found;
}

std::vector<Unit> cut_units(std::span<const RecordRange> ranges, std::span<const RangeOrfs> found) {
    std::vector<Unit> units;
    for (std::size_t r = 0; r < ranges.size(); ++r) {
        const std::size_t orfs = found[r].orfs.size();
        for (std::size_t first = 0; first < orfs; first += kUnitRows)
            units.push_back({&found[r], ranges[r].first, first, std::min(orfs, first + kUnitRows)});
    }
    return units;
}

std::string format_unit(const Batch& batch, const Layout& layout, const Unit& unit) {
    const RangeOrfs& range = *unit.range;
    std::string rows;
    rows.reserve((unit.end_orf - unit.first_orf) * 96);
    // The range's records from the one that holds the unit's first ORF.
    std::size_t k = static_cast<std::size_t>(
        std::upper_bound(range.first_orf.begin(), range.first_orf.end(), unit.first_orf) - range.first_orf.begin() - 1);
    for (std::size_t i = unit.first_orf; i < unit.end_orf; ++k) {
        const std::size_t record_end = std::min(range.first_orf[k + 1], unit.end_orf);
        if (i == record_end) continue;
        const OrfRecord record = orf_record(batch, layout, unit.first_record + k, range.no_stop[k]);
        for (; i != record_end; ++i)
            append_orf(rows, layout, OrfValues(record, range.orfs[i], i - range.first_orf[k] + 1));
    }
    return rows;
}

}  // namespace

void append_orf(std::string& out, const Layout& layout, const OrfValues& orf) {
    switch (layout.format) {
        case Format::tsv: append_orf_tsv_row(out, layout.columns, orf); break;
        case Format::bed: append_orf_bed_line(out, orf); break;
        case Format::fasta: append_orf_fasta(out, orf); break;
        case Format::protein: append_orf_protein(out, orf); break;
        case Format::gff3: append_orf_gff3(out, orf); break;
    }
}

bool orf_rows(const Batch& batch, std::size_t threads, const Layout& layout, const GiveRowBlocks& give) {
    const std::vector<RecordRange> ranges = cut_ranges(batch, threads);
    parallel::OrderedResults<RangeOrfs> found = parallel::parallel_ordered_map(
        std::span<const RecordRange>(ranges),
        [&](const RecordRange& range) { return find_range_orfs(batch, layout, range); });
    const std::vector<Unit> units = cut_units(ranges, std::span<const RangeOrfs>(found.begin(), found.size()));
    // A few units per worker at a time: the pool stays busy, and the text
    // held stays a small multiple of a unit.
    const std::size_t group = 4 * std::max<std::size_t>(threads, 1);
    for (std::size_t first = 0; first < units.size(); first += group) {
        const std::span<const Unit> part(units.data() + first, std::min(group, units.size() - first));
        const auto format = [&](const Unit& unit) { return format_unit(batch, layout, unit); };
        if (!give(parallel::parallel_ordered_map(part, format))) return false;
    }
    return true;
}

}  // namespace marlinox::command
