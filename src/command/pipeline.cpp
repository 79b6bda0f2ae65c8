#include "command/pipeline.hpp"

#include <signal.h>

#include <optional>

#include "command/failures/failure_report.hpp"
#include "command/input/input_stop.hpp"
#include "command/process/handoff.hpp"
#include "command/process/owned_thread.hpp"
#include "command/process/progress.hpp"
#include "command/process/terminal.hpp"
#include "command/records/batch.hpp"
#include "command/records/read_loop.hpp"
#include "command/rows/orf_rows.hpp"
#include "command/rows/record_rows.hpp"
#include "command/rows/row_writer.hpp"
#include "failure/internal_failure.hpp"
#include "parallel/parallel_ordered_map.hpp"
#include "parallel/pool_size.hpp"

namespace marlinox::command {

int write_table(const Settings& settings) {
    ::signal(SIGPIPE, SIG_IGN);
    silence_failure_diagnostics();
    if (settings.threads) {
        // -j 0 stands for the default without the environment's say.
        parallel::request_pool_size(*settings.threads != 0 ? *settings.threads
                                                           : parallel::detail::default_pool_size());
    }
    const std::size_t threads = parallel::current_num_threads();
    const bool progress_shown = settings.progress && progress_wanted();
    FirstFailure failure;
    Handoff<Batch> batches;
    Handoff<RowBlocks> rows;
    SpareBatch spare;
    // Once one stage has failed or written its last row, nothing the others
    // make is of use: they stop waiting, a wait for input included.
    const auto stop_all = [&] {
        batches.cancel();
        rows.cancel();
        stop_reading_input();
    };
    try {
        Progress progress(progress_shown, progress_shown ? total_file_size(settings.files) : std::nullopt);
        OwnedThread reader("marlinox-read", fault_injection::Fault::read_thread, stop_all, [&] {
            try {
                const auto row_bytes = [&layout = settings.layout](const RecordSpan& record) {
                    return row_bytes_bound(layout, record);
                };
                read_files(settings.files, settings.batch_bytes, row_bytes, threads, batches, spare, progress);
            } catch (...) {
                failure.record_current_exception();
                stop_all();
            }
            batches.close();
        });
        OwnedThread writer("marlinox-write", fault_injection::Fault::write_thread, stop_all, [&] {
            try {
                write_rows(rows, header_row(settings.layout));
            } catch (...) {
                failure.record_current_exception();
            }
            stop_all();
        });
        try {
            while (std::optional<Batch> batch = batches.take()) {
                if (settings.layout.orfs) {
                    // Many groups of rows per batch, which holds their records until the last.
                    const bool wanted = orf_rows(*batch, threads, settings.layout, [&](auto&& blocks) {
                        return rows.give(RowBlocks{std::move(blocks), std::nullopt});
                    });
                    std::optional<InputError> error = std::move(batch->error);
                    spare.give(std::move(*batch));
                    batch.reset();
                    if (!wanted || (error && !rows.give(RowBlocks{{}, std::move(error)}))) break;
                    continue;
                }
                RowBlocks next{table_rows(*batch, threads, settings.layout), std::move(batch->error)};
                spare.give(std::move(*batch));
                batch.reset();
                if (!rows.give(std::move(next))) break;
            }
        } catch (...) {
            failure.record_current_exception();
            stop_all();
        }
        rows.close();
        reader.join();
        writer.join();
        progress.stop();
    } catch (...) {
        // A stage that could not start; the owners have stopped the others.
        failure.record_current_exception();
    }
    const std::optional<FailureReport>& report = failure.report();
    if (!report) return kExitOk;
    report_error(report->message);
    return report->status;
}

}  // namespace marlinox::command
