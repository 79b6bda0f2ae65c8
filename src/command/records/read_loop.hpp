// The one read loop: every piece of a source, files and pipes alike, into the
// record parser, and every file of the command line into batches.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

#include "command/input/open_input.hpp"
#include "command/process/handoff.hpp"
#include "command/process/progress.hpp"
#include "command/records/batch.hpp"
#include "command/records/record_parser.hpp"

namespace marlinox::command {

// Parses every piece of `source` (the file `file`) and ends the parser;
// `after_piece` runs after each piece. Throws InputError for bad input; when
// the stream fails, every byte decoded before the failure has been parsed
// first and the error names the line of the damage.
void parse_source(const std::string& file, ByteSource& source, RecordParser& parser,
                  const std::function<void()>& after_piece);

// The reader's work: every one of `files` in order, in batches of at most
// `batch_bytes` with their rows as `row_bytes` counts them, given to `batches`
// (refilling the spare batch when there is one), BGZF decoded on `threads` threads; the counts go to `progress`. Bad
// input ends the last batch (Batch::error). Throws Cancelled once `batches`
// is cancelled, and every other failure.
void read_files(const std::vector<std::string>& files, std::size_t batch_bytes, BatchBuilder::RowBytes row_bytes,
                std::size_t threads, Handoff<Batch>& batches, SpareBatch& spare, Progress& progress);

}  // namespace marlinox::command
