// What the command says when it fails, and with which exit status: every
// failure, wherever it arises, is turned into its message and status here,
// and only here.
//
// Each failure is an exception (failures.hpp), thrown where it is met and
// caught at the top of the thread it is met on (or in main() before the
// stages start):
//  - InputError: bad input, or a file that cannot be read; status 2. The
//    parser throws it where a byte breaks the format. A decoder throws a
//    StreamError for a cut or corrupt stream only after returning every byte
//    it decoded before the damage, and the read loop turns it into an
//    InputError at the parser's line, which is then the line of the damage.
//    The reader does not report it at once but hands it on behind the last
//    intact record (Batch::error), so that every row before it is written
//    first; the writer throws it when it gets there.
//  - OutputError: the table cannot be written; status 1. A reader that has
//    gone (EPIPE) is the exception: SIGPIPE ends the process silently, as it
//    would end cat.
//  - InternalFailure (kernels, worker pool), std::bad_alloc, std::system_error
//    (a thread the system refused to start, named by OwnedThread) and
//    anything else: status 1.
//  - Cancelled: a stage stopped because another one failed; it reports
//    nothing.
// The first failure of a run wins (FirstFailure) and stops every stage, a
// wait for input included; its one line is written after every thread has
// been joined. Signals are no failures: Ctrl-C, SIGTERM and SIGHUP end the
// process between two row blocks with status 128 + the signal, or inside a
// block that a stopped reader no longer takes (process/exit_on_signals.hpp).
#pragma once

#include <mutex>
#include <optional>
#include <string>

namespace marlinox::command {

inline constexpr int kExitOk = 0;
inline constexpr int kExitFailure = 1;   // internal failure, output failure
inline constexpr int kExitBadInput = 2;  // bad input or bad usage

// The status of a process ended by `signal`, as a shell reports it.
constexpr int exit_status_of_signal(int signal) noexcept { return 128 + signal; }

struct FailureReport {
    int status;
    std::string message;  // written as "error: <message>"
};

// The report of the exception being handled; call it only inside a catch
// block. Nothing for Cancelled.
std::optional<FailureReport> report_of_current_exception();

// The first failure met by any of a run's threads.
class FirstFailure {
public:
    // Records the failure being handled unless one came first; call it only
    // inside a catch block.
    void record_current_exception();
    // The report of the first failure; nothing when the run succeeded.
    // Call it once every thread that records has been joined.
    const std::optional<FailureReport>& report() const noexcept { return first_; }

private:
    std::mutex mutex_;
    std::optional<FailureReport> first_;
};

}  // namespace marlinox::command
