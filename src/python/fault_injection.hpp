// Fault injection for the test suite: compiled only into test builds, where a
// fault is switched on by naming it in MARLINOX_FAULTS (comma-separated). In
// release builds every fault is off and the check costs nothing.
#pragma once

#include <cstdlib>
#include <string_view>

namespace marlinox::py {

inline bool fault_active([[maybe_unused]] std::string_view name) {
#ifdef MARLINOX_TEST_HOOKS
    const char* faults = std::getenv("MARLINOX_FAULTS");
    if (!faults) return false;
    std::string_view list(faults);
    while (!list.empty()) {
        std::size_t comma = list.find(',');
        if (list.substr(0, comma) == name) return true;
        if (comma == std::string_view::npos) break;
        list.remove_prefix(comma + 1);
    }
#endif
    return false;
}

}  // namespace marlinox::py
