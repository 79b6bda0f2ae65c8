// The command's work: read the files into batches of records (one thread),
// analyse each batch on the worker pool (the calling thread waits for it) and
// write the rows in input order (one thread); the three overlap.
//
// How failures travel. Bad input is an InputError (file, line, what): the
// parser throws it where a byte breaks the format; a decoder throws a
// StreamError for a cut or corrupt stream only after returning every byte it
// decoded before the damage, and the read loop turns it into an InputError at
// the parser's line, which is then the line of the damage. The reader hands
// the error on after the last intact record, so every row before it is
// written first; it ends the run with status 2. Everything else that is
// thrown (an output error, a thread that cannot start, std::bad_alloc, an
// InternalFailure) stops every stage and ends the run with status 1.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace marlinox::command {

struct Settings {
    std::vector<std::string> files;  // "-": standard input
    std::size_t batch_bytes;
    std::size_t threads;  // for analysis and decompression
    bool progress;
};

// Writes the table to standard output and returns the exit status; errors
// are reported on standard error.
int write_table(const Settings& settings);

}  // namespace marlinox::command
