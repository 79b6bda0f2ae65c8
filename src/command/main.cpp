// marlinox: the table of stop-free runs, GC fractions and run probabilities
// of every record of FASTA and FASTQ files.
#include <unistd.h>

#include <cstdlib>
#include <exception>
#include <new>
#include <variant>

#include <htslib/hts_log.h>

#include "command/exit_status.hpp"
#include "command/options.hpp"
#include "command/pipeline.hpp"
#include "command/progress.hpp"
#include "command/terminal.hpp"
#include "failure/internal_failure.hpp"
#include "parallel/parallel_ordered_map.hpp"
#include "parallel/test_hooks.hpp"

namespace {

using namespace marlinox::command;

int run(int argc, char** argv) {
    exit_on_interrupt();
    // Every problem is reported once, in this command's own words.
    hts_set_log_level(HTS_LOG_OFF);

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
    if (options.threads) marlinox::parallel::request_pool_size(*options.threads);
#ifdef MARLINOX_TEST_HOOKS
    // Lets the test suite reach a failure that a correct run never meets.
    if (std::getenv("MARLINOX_FAIL_POOL_START") != nullptr) marlinox::parallel::test_hooks::fail_worker_start(0);
#endif
    marlinox::silence_failure_diagnostics();
    const std::size_t threads = marlinox::parallel::current_num_threads();
    for (const std::string& file : options.files)
        options.layout.file_names.push_back(escape_control_bytes(file));
    return write_table({std::move(options.files), options.batch_bytes, threads,
                        !options.no_progress && progress_wanted(), std::move(options.layout)});
}

}  // namespace

int main(int argc, char** argv) {
    try {
        return run(argc, argv);
    } catch (const marlinox::InternalFailure& failure) {
        report_error("internal: " + failure.message());
    } catch (const std::bad_alloc&) {
        report_error("out of memory");
    } catch (const std::exception& error) {
        report_error(std::string("internal: ") + error.what());
    }
    return kExitFailure;
}
