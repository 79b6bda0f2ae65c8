// The checks through which the test suite reaches failures that a correct run
// never meets, and the switches and counters it sets on the worker pool. They
// exist only in builds with MARLINOX_TEST_HOOKS; in the module and command
// shipped to users each check is a constant and the code that asks compiles as
// if it did not.
#pragma once

#include <array>
#include <cstddef>
#include <string_view>

namespace marlinox::fault_injection {

// Every fault a test can switch on, by name in MARLINOX_FAULTS
// (comma-separated). Code names them by these constants, so a misspelt fault
// does not compile.
enum class Fault {
    lazy_message,       // a lazy exception's message cannot be built
    panic_class,        // PanicException cannot be created
    result_list,        // a call's result list cannot be created
    result_identifier,  // an identifier of the results cannot be copied
    pool_start,         // the system refuses the pool's first worker thread
    // The system refuses one of the command's own threads.
    read_thread,
    write_thread,
    signal_thread,
    progress_thread,
    read_ahead_thread,
    bgzf_thread,
};

inline constexpr std::array<std::string_view, 11> kFaultNames = {
    "lazy_message",          "panic_class",            "result_list",
    "result_identifier",     "pool_start",             "no_thread:marlinox-read",
    "no_thread:marlinox-write", "no_thread:marlinox-signal", "no_thread:marlinox-prog",
    "no_thread:marlinox-fetch", "no_thread:marlinox-bgzf"};
static_assert(kFaultNames.size() == static_cast<std::size_t>(Fault::bgzf_thread) + 1,
              "one name per fault");

constexpr std::string_view name(Fault fault) noexcept { return kFaultNames[static_cast<std::size_t>(fault)]; }

#ifdef MARLINOX_TEST_HOOKS

// Whether `fault` is named in MARLINOX_FAULTS. The variable is read at every
// check, so a test can switch faults at run time.
bool active(Fault fault) noexcept;

// The pool's checks.
bool worker_start_refused(std::size_t index) noexcept;
bool stealing_enabled() noexcept;
void count_piece_run() noexcept;
void note_pool_running() noexcept;

// The tests' switches and readings of the pool.
// Makes the next pool creation fail to start worker `index` (0-based) as if
// the system refused a new thread. Call before the pool is first used.
void fail_worker_start(std::size_t index);
// Whether idle workers take over pieces queued by other workers (default on).
// With it off, a batch runs wholly on the worker that picked it up.
void set_stealing(bool enabled);
// Pieces processed as one run since the process started (or since the last
// reset), over all batches.
std::size_t pieces_run();
void reset_pieces_run();
// Whether the process-wide pool has been created (and is running).
bool pool_running();

#else

constexpr bool active(Fault) noexcept { return false; }
constexpr bool worker_start_refused(std::size_t) noexcept { return false; }
constexpr bool stealing_enabled() noexcept { return true; }
constexpr void count_piece_run() noexcept {}
constexpr void note_pool_running() noexcept {}

#endif

}  // namespace marlinox::fault_injection
