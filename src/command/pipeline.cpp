#include "command/pipeline.hpp"

#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <thread>

#include <htslib/thread_pool.h>

#include "command/batch.hpp"
#include "command/byte_source.hpp"
#include "command/exit_status.hpp"
#include "command/handoff.hpp"
#include "command/hts_handles.hpp"
#include "command/progress.hpp"
#include "command/read_ahead.hpp"
#include "command/record_parser.hpp"
#include "command/table.hpp"
#include "command/terminal.hpp"
#include "failure/internal_failure.hpp"

namespace marlinox::command {
namespace {

constexpr std::size_t kReadSize = std::size_t{1} << 20;

struct Rows {
    parallel::OrderedResults<std::string> blocks;
    std::optional<InputError> error;
};

// The stages stopped because another one failed.
struct Cancelled {};

// The first failure of any stage decides the exit status.
class Outcome {
public:
    void fail(int status, std::string message) {
        std::lock_guard lock(mutex_);
        if (status_ != 0) return;
        status_ = status;
        message_ = std::move(message);
    }
    void fail_with_current_exception() {
        try {
            throw;
        } catch (const Cancelled&) {
        } catch (const InternalFailure& failure) {
            fail(kExitFailure, "internal: " + failure.message());
        } catch (const InputError& error) {
            fail(kExitBadInput, error.describe());
        } catch (const std::bad_alloc&) {
            fail(kExitFailure, "out of memory");
        } catch (const std::exception& error) {
            fail(kExitFailure, std::string("internal: ") + error.what());
        } catch (...) {
            fail(kExitFailure, "internal: unknown failure");
        }
    }
    int report() const {
        if (status_ != 0) report_error(message_);
        return status_;
    }

private:
    std::mutex mutex_;
    int status_ = 0;
    std::string message_;
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

bool is_regular_file(const std::string& file) {
    struct stat info {};
    const int status = file == "-" ? ::fstat(0, &info) : ::stat(file.c_str(), &info);
    return status == 0 && S_ISREG(info.st_mode);
}

void read_files(const Settings& settings, Handoff<Batch>& batches, SpareBatch& spare, Progress& progress) {
    BatchBuilder builder(
        settings.batch_bytes,
        [&batches](Batch&& batch) {
            if (!batches.give(std::move(batch))) throw Cancelled{};
        },
        &spare);
    ThreadPoolPtr decompression;
    const auto decompression_threads = [&]() -> hts_tpool* {
        if (!decompression && settings.threads > 1)
            decompression.reset(hts_tpool_init(static_cast<int>(settings.threads)));
        return decompression.get();
    };
    const std::unique_ptr<char[]> buffer(new char[kReadSize]);
    std::uint64_t records = 0;
    std::uint64_t bytes = 0;
    std::optional<InputError> error;
    try {
        for (std::size_t index = 0; index < settings.files.size(); ++index) {
            const std::string& file = settings.files[index];
            builder.set_file(index);
            const std::unique_ptr<ByteSource> source = open_byte_source(file, decompression_threads);
            RecordParser parser(file, builder);
            try {
                if (is_regular_file(file)) {
                    ReadAhead ahead(*source, kReadSize);
                    for (std::string_view piece = ahead.next(); !piece.empty(); piece = ahead.next()) {
                        parser.feed(piece);
                        progress.update(records + parser.records(), bytes + ahead.position());
                    }
                } else {
                    while (const std::size_t n = source->read(buffer.get(), kReadSize)) {
                        parser.feed({buffer.get(), n});
                        progress.update(records + parser.records(), bytes + source->file_position());
                    }
                }
            } catch (const StreamError& stream) {
                throw InputError(file, parser.line(), stream.what());
            }
            parser.finish();
            records += parser.records();
            bytes += source->file_position();
        }
    } catch (const InputError& bad) {
        error = bad;
    }
    builder.finish(std::move(error));
}

void write_rows(Handoff<Rows>& rows, Outcome& outcome, const std::string& header) {
    const auto write = [&](std::string_view bytes) {
        std::lock_guard lock(terminal_mutex());
        const int error = write_all(1, bytes);
        if (error == 0) return true;
        if (error == EPIPE) {
            // The reader has gone (head): stop as quietly as a process that
            // never ignored SIGPIPE.
            clear_progress_line_locked();
            ::signal(SIGPIPE, SIG_DFL);
            ::raise(SIGPIPE);
        }
        outcome.fail(kExitFailure, std::string("cannot write the table: ") + std::strerror(error));
        return false;
    };
    if (!header.empty() && !write(header)) return;
    while (std::optional<Rows> next = rows.take()) {
        for (const std::string& block : next->blocks)
            if (!write(block)) return;
        if (next->error) {
            outcome.fail(kExitBadInput, next->error->describe());
            return;
        }
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
    const auto stop_all = [&] {
        batches.cancel();
        rows.cancel();
    };
    Progress progress(settings.progress, settings.progress ? total_size(settings.files) : std::nullopt);

    std::thread reader([&] {
        pthread_setname_np(pthread_self(), "marlinox-read");
        try {
            read_files(settings, batches, spare, progress);
        } catch (...) {
            outcome.fail_with_current_exception();
            stop_all();
        }
        batches.close();
    });
    std::thread writer([&] {
        pthread_setname_np(pthread_self(), "marlinox-write");
        write_rows(rows, outcome, header_row(settings.layout));
        // Nothing more will be written: let the other stages stop.
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
    return outcome.report();
}

}  // namespace marlinox::command
