// The table: one row per record, the columns the module's functions give.
#pragma once

#include <string>
#include <string_view>

#include "command/batch.hpp"
#include "parallel/ordered_results.hpp"

namespace marlinox::command {

inline constexpr std::string_view kHeaderRow =
    "identifier\tlength\tgc_fraction\tstop_free_run\tratio\tprobability\n";

// The row of one record. Throws InternalFailure as the kernels do.
void append_row(std::string& out, std::string_view identifier, std::string_view sequence);

// The rows of every record of `batch`, in input order, as consecutive blocks of
// whole rows; the records are analysed on the worker pool of `threads` workers.
parallel::OrderedResults<std::string> table_rows(const Batch& batch, std::size_t threads);

}  // namespace marlinox::command
