// The state behind the test builds' hooks, all in one place.
#ifdef MARLINOX_TEST_HOOKS

#include "failure/fault_injection.hpp"

#include <atomic>
#include <cstdint>
#include <cstdlib>

#include "parallel/test_hooks.hpp"

namespace marlinox {
namespace {

std::atomic<std::size_t> failing_worker_start{SIZE_MAX};
std::atomic<bool> stealing{true};
std::atomic<std::size_t> pieces{0};

}  // namespace

bool fault_injection::active(std::string_view name) noexcept {
    const char* faults = std::getenv("MARLINOX_FAULTS");
    if (!faults) return false;
    std::string_view list(faults);
    while (!list.empty()) {
        const std::size_t comma = list.find(',');
        if (list.substr(0, comma) == name) return true;
        if (comma == std::string_view::npos) break;
        list.remove_prefix(comma + 1);
    }
    return false;
}

bool fault_injection::worker_start_refused(std::size_t index) noexcept { return failing_worker_start.load() == index; }
bool fault_injection::stealing_enabled() noexcept { return stealing.load(std::memory_order_relaxed); }
void fault_injection::count_piece_run() noexcept { pieces.fetch_add(1, std::memory_order_relaxed); }

void parallel::test_hooks::fail_worker_start(std::size_t index) { failing_worker_start.store(index); }
void parallel::test_hooks::set_stealing(bool enabled) { stealing.store(enabled); }
std::size_t parallel::test_hooks::pieces_run() { return pieces.load(); }
void parallel::test_hooks::reset_pieces_run() { pieces.store(0); }

}  // namespace marlinox

#endif  // MARLINOX_TEST_HOOKS
