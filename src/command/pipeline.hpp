// The command's work: read the files into batches of records (one thread),
// analyse each batch on the worker pool (the calling thread waits for it) and
// write the rows in input order (one thread); the three overlap. How a
// failure in any of them ends the run: failures/failure_report.hpp.
#pragma once

#include "command/options.hpp"

namespace marlinox::command {

// Writes the table to standard output and returns the exit status; errors
// are reported on standard error.
int write_table(const Settings& settings);

}  // namespace marlinox::command
