#include <algorithm>
#include <cstddef>

#include "analysis/kernels.hpp"

namespace marlinox::analysis {

double calculate_gc_content_single(std::string_view sequence) {
    if (sequence.empty()) return 0.0;
    // G and C are ASCII, so counting bytes counts characters; counting in
    // size_t keeps texts beyond 4 GiB exact on 64-bit hosts.
    const std::size_t gc = static_cast<std::size_t>(std::count_if(
        sequence.begin(), sequence.end(),
        [](char c) { return c == 'G' || c == 'C' || c == 'g' || c == 'c'; }));
    return static_cast<double>(gc) / static_cast<double>(sequence.size());
}

}  // namespace marlinox::analysis
