// What is written for each record in the format the layout asks for (one file
// per format beside this one), and the batches' records cut into ranges that
// the worker pool turns into rows.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "command/records/batch.hpp"
#include "command/rows/columns.hpp"
#include "parallel/ordered_results.hpp"

namespace marlinox::command {

// What `layout` writes for one record read from `file` (its name as the file
// column writes it): a row, a BED line, a FASTA record, or nothing when the
// record is filtered out or, in the formats other than tsv, has no run.
// Throws InternalFailure as the kernels do.
// `locate` is layout.locates(), asked once per batch.
void append_record(std::string& out, const Layout& layout, bool locate, std::string_view file,
                   std::string_view identifier, std::string_view sequence);

// Records [first, first + count) of a batch: the unit of work of one worker.
struct RecordRange {
    std::size_t first;
    std::size_t count;
};

// The batch's records in ranges that keep every one of `threads` workers busy
// when record lengths vary, each large enough that handing it over costs little.
std::vector<RecordRange> cut_ranges(const Batch& batch, std::size_t threads);

// The most bytes what `layout` writes for `record` can take: the rows a batch
// will hold count toward its budget.
std::size_t row_bytes_bound(const Layout& layout, const RecordSpan& record);

// What `layout` writes for every record of `batch`, in input order, as
// consecutive blocks of whole rows; the records are analysed on the worker
// pool of `threads` workers.
parallel::OrderedResults<std::string> table_rows(const Batch& batch, std::size_t threads, const Layout& layout);

}  // namespace marlinox::command
