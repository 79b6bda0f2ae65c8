// The GC count with a chosen instruction set, for tests and benchmarks; the
// kernel itself (calculate_gc_content_single) uses the selected one.
#pragma once

#include <cstddef>
#include <string_view>

#include "analysis/scan_level.hpp"

namespace marlinox::analysis {

// Number of bytes of `text` that are G, C, g or c. `level` must be available;
// a level this build lacks counts with the portable code.
std::size_t count_gc_with(std::string_view text, ScanLevel level) noexcept;

// calculate_gc_content_single with the count of `level`.
double gc_content_with(std::string_view text, ScanLevel level) noexcept;

}  // namespace marlinox::analysis
