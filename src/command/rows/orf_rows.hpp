// The ORF mode's rows of a batch: the ORFs of each record found on the worker
// pool over record ranges (a long record alone in its range in pieces, so
// that it too is scanned on every worker), then cut into units of a few thousand rows that
// the pool formats in order, so that a long record's rows are written on
// every worker and only a group of units is held as text at a time.
#pragma once

#include <cstddef>
#include <functional>
#include <string>

#include "command/records/batch.hpp"
#include "command/rows/columns.hpp"
#include "command/rows/orf_values.hpp"
#include "parallel/ordered_results.hpp"

namespace marlinox::command {

// Takes the next group of row blocks, in order; false: nothing more is wanted.
using GiveRowBlocks = std::function<bool(parallel::OrderedResults<std::string>&&)>;

// Hands every ORF row of `batch` that `layout` (with layout.orfs) writes to
// `give`, group by group, in input order; the records are analysed on the
// worker pool of `threads` workers. Returns false once `give` has.
bool orf_rows(const Batch& batch, std::size_t threads, const Layout& layout, const GiveRowBlocks& give);

// What `layout` writes for one ORF.
void append_orf(std::string& out, const Layout& layout, const OrfValues& orf);

}  // namespace marlinox::command
