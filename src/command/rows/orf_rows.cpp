#include "command/rows/orf_rows.hpp"

#include <algorithm>
#include <span>
#include <tuple>
#include <vector>

#include "command/rows/bed.hpp"
#include "command/rows/fasta.hpp"
#include "command/rows/gff3.hpp"
#include "command/rows/record_rows.hpp"
#include "command/rows/spare_rows.hpp"
#include "command/rows/tsv.hpp"
#include "parallel/parallel_ordered_map.hpp"

namespace marlinox::command {
namespace {

// Rows formatted by one worker at a time: large enough that handing a unit
// over costs little, small enough that a long record's rows spread over
// every worker.
constexpr std::size_t kUnitRows = 4096;

// Records shorter than two pieces are scanned whole: each piece costs a task
// and a join.
constexpr std::size_t kPieceBytes = std::size_t{64} << 10;

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

// Orders and filters the ORFs of record `i`, the last that `found` holds,
// from `first` on.
void finish_record(RangeOrfs& found, std::size_t first, const Batch& batch, const Layout& layout, std::size_t i,
                   std::size_t gc_bytes) {
    found.first_orf.push_back(first);
    found.no_stop.push_back(record_no_stop(batch.records[i].sequence_length, gc_bytes, layout.orfs->rules.stop_codons));
    if (layout.orfs->include_stop) {
        // Ordered as written: a stop codon moves an ORF's end (on '-', its start).
        const auto key = [&](const analysis::Orf& orf) {
            return std::tuple(written_start(orf, true), written_end(orf, true), orf.reverse);
        };
        std::sort(found.orfs.begin() + static_cast<std::ptrdiff_t>(first), found.orfs.end(),
                  [&](const analysis::Orf& a, const analysis::Orf& b) { return key(a) < key(b); });
    }
    if (!layout.max_non_acgt && !layout.max_evalue) return;
    // Filtered before the rows are numbered, which counts the rows written.
    const OrfRecord record = orf_record(batch, layout, i, found.no_stop.back());
    const auto dropped = [&](const analysis::Orf& orf) { return !kept(layout, OrfValues(record, orf, 0)); };
    found.orfs.erase(std::remove_if(found.orfs.begin() + static_cast<std::ptrdiff_t>(first), found.orfs.end(),
                                    dropped),
                     found.orfs.end());
}

RangeOrfs find_range_orfs(const Batch& batch, const Layout& layout, const RecordRange& range) {
    RangeOrfs found;
    found.first_orf.reserve(range.count + 1);
    found.no_stop.reserve(range.count);
    for (std::size_t i = range.first; i != range.first + range.count; ++i) {
        const std::size_t first = found.orfs.size();
        const std::size_t gc_bytes =
            analysis::find_orfs(batch.sequence(batch.records[i]), layout.orfs->rules, found.orfs);
        finish_record(found, first, batch, layout, i, gc_bytes);
    }
    found.first_orf.push_back(found.orfs.size());
    return found;
}

// A range of records scanned whole, or one piece of the one long record of a range.
struct ScanTask {
    std::size_t range;
    std::size_t piece = 0, pieces = 1;
};

struct ScanResult {
    RangeOrfs whole;
    analysis::OrfPiece piece;
};

// Pieces of a range's record: one unless the range is one record long enough
// that the workers would otherwise wait for a single one of them.
std::size_t pieces_of(const Batch& batch, const RecordRange& range, std::size_t threads) {
    if (range.count != 1 || threads < 2) return 1;
    return std::clamp<std::size_t>(batch.records[range.first].sequence_length / kPieceBytes, 1, 2 * threads);
}

std::vector<RangeOrfs> find_orfs_of_ranges(const Batch& batch, std::size_t threads, const Layout& layout,
                                           std::span<const RecordRange> ranges) {
    std::vector<ScanTask> tasks;
    for (std::size_t r = 0; r < ranges.size(); ++r) {
        const std::size_t pieces = pieces_of(batch, ranges[r], threads);
        for (std::size_t piece = 0; piece < pieces; ++piece) tasks.push_back({r, piece, pieces});
    }
    parallel::OrderedResults<ScanResult> results =
        parallel::parallel_ordered_map(std::span<const ScanTask>(tasks), [&](const ScanTask& task) {
            const RecordRange& range = ranges[task.range];
            if (task.pieces == 1) return ScanResult{find_range_orfs(batch, layout, range), {}};
            return ScanResult{{}, analysis::find_piece_orfs(batch.sequence(batch.records[range.first]),
                                                            layout.orfs->rules, task.piece, task.pieces)};
        });
    std::vector<RangeOrfs> found;
    found.reserve(ranges.size());
    std::vector<analysis::OrfPiece> pieces;
    for (std::size_t t = 0; t < tasks.size(); ++t) {
        if (tasks[t].pieces == 1) {
            found.push_back(std::move(results[t].whole));
            continue;
        }
        pieces.push_back(std::move(results[t].piece));
        if (pieces.size() < tasks[t].pieces) continue;
        const std::size_t record = ranges[tasks[t].range].first;
        RangeOrfs joined;
        const std::size_t gc_bytes =
            analysis::join_orf_pieces(batch.sequence(batch.records[record]), layout.orfs->rules, pieces, joined.orfs);
        pieces.clear();
        finish_record(joined, 0, batch, layout, record, gc_bytes);
        joined.first_orf.push_back(joined.orfs.size());
        found.push_back(std::move(joined));
    }
    return found;
}

std::vector<Unit> cut_units(std::span<const RecordRange> ranges, std::span<const RangeOrfs> found,
                            std::size_t threads) {
    std::vector<Unit> units;
    for (std::size_t r = 0; r < ranges.size(); ++r) {
        const std::size_t orfs = found[r].orfs.size();
        // Units of equal size, a multiple of the workers when there are many
        // rows: a long record's rows make few units, and an odd last one
        // would leave workers waiting for one of them.
        std::size_t count = (orfs + kUnitRows - 1) / kUnitRows;
        if (orfs >= kUnitRows) count = (count + threads - 1) / threads * threads;
        for (std::size_t unit = 0; unit < count; ++unit)
            units.push_back({&found[r], ranges[r].first, orfs * unit / count, orfs * (unit + 1) / count});
    }
    return units;
}

std::string format_unit(const Batch& batch, const Layout& layout, const Unit& unit) {
    const RangeOrfs& range = *unit.range;
    std::string rows = take_row_buffer((unit.end_orf - unit.first_orf) * 96);
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
    const std::vector<RangeOrfs> found = find_orfs_of_ranges(batch, threads, layout, ranges);
    const std::vector<Unit> units = cut_units(ranges, found, std::max<std::size_t>(threads, 1));
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
