// The command's work: read the files into batches of records (one thread),
// analyse each batch on the worker pool (the calling thread waits for it) and
// write the rows in input order (one thread); the three overlap.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "command/columns.hpp"

namespace marlinox::command {

struct Settings {
    std::vector<std::string> files;  // "-": standard input
    std::size_t batch_bytes;
    std::size_t threads;  // for analysis and decompression
    bool progress;
    Layout layout;  // what is written for each record
};

// Writes the table to standard output and returns the exit status; errors
// are reported on standard error.
int write_table(const Settings& settings);

}  // namespace marlinox::command
