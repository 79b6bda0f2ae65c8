// marlinox: the table of stop-free runs, GC fractions and run probabilities
// of every record of FASTA and FASTQ files.
#include <optional>
#include <variant>

#include "command/failures/failure_report.hpp"
#include "command/options.hpp"
#include "command/pipeline.hpp"
#include "command/process/exit_on_signals.hpp"
#include "command/process/terminal.hpp"

namespace {

using namespace marlinox::command;

int run(int argc, char** argv) {
    hold_standard_descriptors();
    const ExitOnSignals signals;
    const std::variant<Settings, int> parsed = parse_command_line(argc, argv);
    if (const int* status = std::get_if<int>(&parsed)) return *status;
    return write_table(std::get<Settings>(parsed));
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
