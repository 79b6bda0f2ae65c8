// marlinox: the table of stop-free runs, GC fractions and run probabilities
// of every record of FASTA and FASTQ files.
#include <unistd.h>

#include <cstdlib>
#include <optional>
#include <variant>

#include "command/exit_status.hpp"
#include "command/input_error.hpp"
#include "command/failure_report.hpp"
#include "command/options.hpp"
#include "command/pipeline.hpp"
#include "command/progress.hpp"
#include "command/terminal.hpp"
#include "failure/internal_failure.hpp"
#include "parallel/parallel_ordered_map.hpp"
#include "parallel/pool_size.hpp"

namespace {

using namespace marlinox::command;

int run(int argc, char** argv) {
    hold_standard_descriptors();
    const ExitOnSignals signals;

    std::variant<Options, int> parsed = parse_command_line(argc, argv);
    if (const int* status = std::get_if<int>(&parsed)) return *status;
    Options& options = std::get<Options>(parsed);
    if (options.files.empty()) {
        if (::isatty(0) != 0) {
            (void)write_all(2, usage_text());
            return kExitBadInput;
        }
        options.files.emplace_back("-");
    }
    if (options.threads) {
        // -j 0 stands for the default without the environment's say.
        marlinox::parallel::request_pool_size(*options.threads != 0 ? *options.threads
                                                                    : marlinox::parallel::detail::default_pool_size());
    }
    marlinox::silence_failure_diagnostics();
    const std::size_t threads = marlinox::parallel::current_num_threads();
    for (const std::string& file : options.files)
        options.layout.file_names.push_back(escaped_for_message(file));
    return write_table({std::move(options.files), options.batch_bytes, threads,
                        !options.no_progress && progress_wanted(), std::move(options.layout)});
}

}  // namespace

int main(int argc, char** argv) {
    try {
        return run(argc, argv);
    } catch (...) {
        const std::optional<FailureReport> report = report_of_current_exception();
        if (!report) return kExitFailure;
        report_error(report->message);
        return report->status;
    }
}
