// The state behind the test builds' hooks, all in one place.
#ifdef MARLINOX_TEST_HOOKS

#include "failure/fault_injection.hpp"

#include <atomic>
#include <cstdint>
#include <cstdlib>

namespace marlinox::fault_injection {
namespace {

std::atomic<std::size_t> failing_worker_start{SIZE_MAX};
std::atomic<bool> stealing{true};
std::atomic<std::size_t> pieces{0};
std::atomic<bool> running{false};

}  // namespace

bool active(Fault fault) noexcept {
    const char* faults = std::getenv("MARLINOX_FAULTS");
    if (!faults) return false;
    std::string_view list(faults);
    while (!list.empty()) {
        const std::size_t comma = list.find(',');
        if (list.substr(0, comma) == name(fault)) return true;
        if (comma == std::string_view::npos) break;
        list.remove_prefix(comma + 1);
    }
    return false;
}

bool worker_start_refused(std::size_t index) noexcept {
    return failing_worker_start.load() == index || (index == 0 && active(Fault::pool_start));
}
bool stealing_enabled() noexcept { return stealing.load(std::memory_order_relaxed); }
void count_piece_run() noexcept { pieces.fetch_add(1, std::memory_order_relaxed); }
void note_pool_running() noexcept { running.store(true); }

void fail_worker_start(std::size_t index) { failing_worker_start.store(index); }
void set_stealing(bool enabled) { stealing.store(enabled); }
std::size_t pieces_run() { return pieces.load(); }
void reset_pieces_run() { pieces.store(0); }
bool pool_running() { return running.load(); }

}  // namespace marlinox::fault_injection

#endif  // MARLINOX_TEST_HOOKS
