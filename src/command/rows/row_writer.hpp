// The writer's work: the rows to standard output, block by block in input
// order, each block whole under the terminal's lock.
#pragma once

#include <optional>
#include <string>

#include "command/failures/failures.hpp"
#include "command/process/handoff.hpp"
#include "parallel/ordered_results.hpp"

namespace marlinox::command {

// The rows of one batch, and the bad input found after its last record.
struct RowBlocks {
    parallel::OrderedResults<std::string> blocks;
    std::optional<InputError> error;
};

// Writes `header`, then every block taken from `rows` until it is closed or
// cancelled. Throws OutputError, and a batch's InputError once the rows before
// it are written; ends the process by SIGPIPE when the reader has gone.
void write_rows(Handoff<RowBlocks>& rows, const std::string& header);

}  // namespace marlinox::command
