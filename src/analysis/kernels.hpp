// Per-item kernels. Pure functions of their arguments: no shared state, no
// Python, callable from any thread at once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace marlinox::analysis {

// Codons of the longest stop-free run over the six reading frames. `sequence`
// is UTF-8; a codon window that splits a multi-byte character fails the call
// (marlinox::fail) with the character-boundary message.
std::size_t calculate_stop_free_run_single(std::string_view sequence);

// Share of bytes that are G, C, g or c; 0.0 for the empty text.
double calculate_gc_content_single(std::string_view sequence);

// The share itself, from the count of G, C, g and c among `length` bytes.
inline double gc_fraction(std::size_t gc_bytes, std::size_t length) noexcept {
    return length == 0 ? 0.0 : static_cast<double>(gc_bytes) / static_cast<double>(length);
}

// Probability that `run_length` codons drawn at GC fraction `gc` hold no stop.
double calculate_run_probability_single(std::int32_t run_length, double gc);

// The same arithmetic for a non-negative run of any length. Equal to
// calculate_run_probability_single for every run up to INT32_MAX; longer runs
// (sequences beyond 6 GB, 64-bit only) continue the same exponentiation.
double calculate_run_probability_wide(std::uint64_t run_length, double gc);

}  // namespace marlinox::analysis
