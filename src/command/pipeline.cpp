#include "command/pipeline.hpp"

#include <signal.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>

#include "command/batch.hpp"
#include "command/bgzf_blocks.hpp"
#include "command/byte_source.hpp"
#include "command/exit_status.hpp"
#include "command/failure_report.hpp"
#include "command/handoff.hpp"
#include "command/input_stop.hpp"
#include "command/output_error.hpp"
#include "command/owned_thread.hpp"
#include "command/progress.hpp"
#include "command/read_file.hpp"
#include "command/record_parser.hpp"
#include "command/table.hpp"
#include "command/terminal.hpp"
#include "failure/internal_failure.hpp"

namespace marlinox::command {
namespace {

struct Rows {
    parallel::OrderedResults<std::string> blocks;
    std::optional<InputError> error;
};

// The first failure of any stage decides the exit status.
class Outcome {
public:
    // Records the failure being handled; call it only inside a catch block.
    void fail_with_current_exception() {
        std::optional<FailureReport> report = report_of_current_exception();
        std::lock_guard lock(mutex_);
        if (report && !first_) first_ = std::move(report);
    }
    int report() const {
        if (!first_) return kExitOk;
        report_error(first_->message);
        return first_->status;
    }

private:
    std::mutex mutex_;
    std::optional<FailureReport> first_;
};

std::optional<std::uint64_t> total_size(const std::vector<std::string>& files) {
    std::uint64_t total = 0;
    for (const std::string& file : files) {
        struct stat info {};
        const int status = file == "-" ? ::fstat(0, &info) : ::stat(file.c_str(), &info);
        if (status != 0 || !S_ISREG(info.st_mode)) return std::nullopt;
        total += static_cast<std::uint64_t>(info.st_size);
    }
    return total;
}

void read_files(const Settings& settings, Handoff<Batch>& batches, SpareBatch& spare, Progress& progress) {
    BatchBuilder builder(
        settings.batch_bytes,
        [&batches](Batch&& batch) {
            if (!batches.give(std::move(batch))) throw Cancelled{};
        },
        &spare);
    std::unique_ptr<BgzfPool> bgzf_pool;
    const auto bgzf_threads = [&]() -> BgzfPool* {
        if (!bgzf_pool && settings.threads > 1) bgzf_pool = std::make_unique<BgzfPool>(settings.threads);
        return bgzf_pool.get();
    };
    std::uint64_t records = 0;
    std::uint64_t bytes = 0;
    std::optional<InputError> error;
    try {
        for (std::size_t index = 0; index < settings.files.size(); ++index) {
            const std::string& file = settings.files[index];
            builder.set_file(index);
            const std::unique_ptr<ByteSource> source = open_byte_source(file, bgzf_threads);
            RecordParser parser(file, builder);
            parse_source(file, *source, parser, [&] {
                progress.update(records + parser.records(), bytes + source->file_position());
            });
            records += parser.records();
            bytes += source->file_position();
        }
    } catch (const InputError& bad) {
        error = bad;
    }
    builder.finish(std::move(error));
}

void write_rows(Handoff<Rows>& rows, const std::string& header) {
    const auto write = [](std::string_view bytes) {
        std::lock_guard lock(terminal_mutex());
        const int error = write_all(1, bytes);
        if (error == 0) return;
        if (error == EPIPE) {
            // The reader has gone (head): stop as quietly as a process that
            // never ignored SIGPIPE.
            clear_progress_line_locked();
            ::signal(SIGPIPE, SIG_DFL);
            ::raise(SIGPIPE);
        }
        throw OutputError(error);
    };
    if (!header.empty()) write(header);
    while (std::optional<Rows> next = rows.take()) {
        for (const std::string& block : next->blocks) write(block);
        if (next->error) throw *next->error;
    }
}

}  // namespace

int write_table(const Settings& settings) {
    ::signal(SIGPIPE, SIG_IGN);
    silence_failure_diagnostics();
    Outcome outcome;
    Handoff<Batch> batches;
    Handoff<Rows> rows;
    SpareBatch spare;
    // Once one stage has failed or written its last row, nothing the others
    // make is of use: they stop waiting, a wait for input included.
    const auto stop_all = [&] {
        batches.cancel();
        rows.cancel();
        stop_reading_input();
    };
    try {
        Progress progress(settings.progress, settings.progress ? total_size(settings.files) : std::nullopt);
        OwnedThread reader("marlinox-read", fault_injection::Fault::read_thread, stop_all, [&] {
            try {
                read_files(settings, batches, spare, progress);
            } catch (...) {
                outcome.fail_with_current_exception();
                stop_all();
            }
            batches.close();
        });
        OwnedThread writer("marlinox-write", fault_injection::Fault::write_thread, stop_all, [&] {
            try {
                write_rows(rows, header_row(settings.layout));
            } catch (...) {
                outcome.fail_with_current_exception();
            }
            stop_all();
        });
        try {
            while (std::optional<Batch> batch = batches.take()) {
                Rows next{table_rows(*batch, settings.threads, settings.layout), std::move(batch->error)};
                spare.give(std::move(*batch));
                batch.reset();
                if (!rows.give(std::move(next))) break;
            }
        } catch (...) {
            outcome.fail_with_current_exception();
            stop_all();
        }
        rows.close();
        reader.join();
        writer.join();
        progress.stop();
    } catch (...) {
        // A stage that could not start; the owners have stopped the others.
        outcome.fail_with_current_exception();
    }
    return outcome.report();
}

}  // namespace marlinox::command
