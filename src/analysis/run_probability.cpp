#include <cstdint>

#include "analysis/kernels.hpp"

namespace marlinox::analysis {

namespace {

// Every step below is one rounded double operation, in this order; the build
// forbids contracting them into fused multiply-adds. The power is an explicit
// binary exponentiation because a correctly rounded pow() differs in the last
// digits for long runs, and callers compare results bit for bit.

double no_stop_per_codon(double gc) {
    const double at = 1.0 - gc;
    const double at_squared = at * at;
    const double stop_mass = (gc + 1.0) * at_squared;  // 8 x P(codon is a stop)
    const double scaled = stop_mass * -0.125;
    return 1.0 + scaled;  // P(codon is not a stop)
}

// q to the m by squaring, least significant bit first.
double power(double q, std::uint64_t m) {
    double result = (m & 1u) != 0 ? q : 1.0;
    double square = q;  // q to the 2^k after k squarings
    while (m > 1) {
        square = square * square;
        if ((m & 2u) != 0) result = result * square;
        m >>= 1;
    }
    return result;
}

}  // namespace

double calculate_run_probability_single(std::int32_t run_length, double gc) {
    // Magnitude as unsigned, so that -2147483648 becomes 2147483648.
    const std::uint32_t m = run_length < 0 ? 0u - static_cast<std::uint32_t>(run_length)
                                           : static_cast<std::uint32_t>(run_length);
    const double result = power(no_stop_per_codon(gc), m);
    return run_length < 0 ? 1.0 / result : result;
}

double calculate_run_probability_wide(std::uint64_t run_length, double gc) {
    return power(no_stop_per_codon(gc), run_length);
}

}  // namespace marlinox::analysis
