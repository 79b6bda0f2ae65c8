// The command's work: read the files into batches of records (one thread),
// analyse each batch on the worker pool (the calling thread waits for it) and
// write the rows in input order (one thread); the three overlap.
//
// How failures travel through the command. Each is an exception, thrown where
// it is met and caught at the top of the thread it is met on (or in main()
// before the stages start):
//  - InputError (input_error.hpp): bad input, or a file that cannot be read;
//    exit status 2. The parser throws it where a byte breaks the format. A
//    decoder throws a StreamError for a cut or corrupt stream only after
//    returning every byte it decoded before the damage, and the read loop
//    turns it into an InputError at the parser's line, which is then the line
//    of the damage. The reader does not report it at once but hands it on
//    behind the last intact record (Batch::error), so that every row before it
//    is written first; the writer throws it when it gets there.
//  - OutputError (output_error.hpp): the table cannot be written; status 1.
//    A reader that has gone (EPIPE) is the exception: SIGPIPE ends the
//    process silently, as it would end cat.
//  - InternalFailure (kernels, worker pool), std::bad_alloc, std::system_error
//    (a thread the system refused to start) and anything else: status 1.
//  - Cancelled (failure_report.hpp): a stage stopped because another one
//    failed; it reports nothing.
// report_of_current_exception() turns an exception into its message and exit
// status, and nothing else does. The first failure of a run wins and stops
// every stage, a wait for input included; its one line is written after every
// thread has been joined. Signals are no failures: Ctrl-C, SIGTERM and SIGHUP
// end the process between two row blocks (ExitOnSignals, terminal.hpp).
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
