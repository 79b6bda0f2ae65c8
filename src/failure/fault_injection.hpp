// The checks through which the test suite reaches failures that a correct run
// never meets, and counts what the pool does. They exist only in builds with
// MARLINOX_TEST_HOOKS; in the module shipped to users each check is a constant
// and the code that asks compiles as if it did not.
#pragma once

#include <cstddef>
#include <string_view>

namespace marlinox::fault_injection {

#ifdef MARLINOX_TEST_HOOKS

// Whether the fault `name` is on: named in MARLINOX_FAULTS (comma-separated).
// The variable is read at every check, so a test can switch faults at run time.
bool active(std::string_view name) noexcept;

// The pool's hooks, set through parallel/test_hooks.hpp.
bool worker_start_refused(std::size_t index) noexcept;
bool stealing_enabled() noexcept;
void count_piece_run() noexcept;

#else

constexpr bool active(std::string_view) noexcept { return false; }
constexpr bool worker_start_refused(std::size_t) noexcept { return false; }
constexpr bool stealing_enabled() noexcept { return true; }
constexpr void count_piece_run() noexcept {}

#endif

}  // namespace marlinox::fault_injection
