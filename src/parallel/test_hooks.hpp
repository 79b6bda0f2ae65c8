// Hooks into the worker pool for the test suite: the switches behind the
// pool's checks in failure/fault_injection.hpp, which holds their state. They
// exist only in builds with MARLINOX_TEST_HOOKS defined.
#pragma once

#ifdef MARLINOX_TEST_HOOKS

#include <cstddef>

namespace marlinox::parallel::test_hooks {

// Makes the next pool creation fail to start worker `index` (0-based) as if
// the system refused a new thread. Call before the pool is first used.
void fail_worker_start(std::size_t index);

// Whether idle workers take over pieces queued by other workers (default on).
// With it off, a batch runs wholly on the worker that picked it up.
void set_stealing(bool enabled);

// Number of pieces processed as one run since the process started (or since
// the last reset), over all batches.
std::size_t pieces_run();
void reset_pieces_run();

// Whether the process-wide pool has been created (and is running).
bool pool_running();

}  // namespace marlinox::parallel::test_hooks

#endif  // MARLINOX_TEST_HOOKS
