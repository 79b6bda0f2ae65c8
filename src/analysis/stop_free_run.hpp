// Steps of the stop-free run kernel, exposed for tests and fuzzers. The kernel
// itself is calculate_stop_free_run_single (kernels.hpp).
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "analysis/scan_level.hpp"

namespace marlinox::analysis {

// Full Unicode uppercase of a UTF-8 text. Invalid bytes are copied unchanged.
std::string uppercase_full(std::string_view text);

// Characters of `text` from last to first, A<->T and C<->G complemented (either
// case in, upper case out); every other character, multi-byte ones and invalid
// bytes included, is kept as it is. The result has the byte length of `text`.
std::string reverse_complement(std::string_view text);

// The kernel as its definition reads: upper-case, reverse-complement, scan both
// strands. Reference for stop_free_run_ascii and the dispatching kernel.
std::size_t stop_free_run_literal(std::string_view sequence);

// Same result as stop_free_run_literal for a text whose bytes are all below
// 0x80, in one pass over the text and without building any copy of it.
std::size_t stop_free_run_ascii(std::string_view sequence) noexcept;

// The ASCII scan with the ASCII check in the same pass: the run when every
// byte of `sequence` is below 0x80, nothing otherwise. The second form runs
// the scan with the given instruction set, which must be available (tests and
// benchmarks); a level this build lacks runs the portable scan.
std::optional<std::size_t> stop_free_run_if_ascii(std::string_view sequence) noexcept;
std::optional<std::size_t> stop_free_run_if_ascii(std::string_view sequence, ScanLevel level) noexcept;

bool is_ascii(std::string_view text) noexcept;

}  // namespace marlinox::analysis
