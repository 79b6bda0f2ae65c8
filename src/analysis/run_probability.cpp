#include <cstdint>

#include "analysis/kernels.hpp"

namespace marlinox::analysis {

// Every step below is one rounded double operation, in this order; the build
// forbids contracting them into fused multiply-adds. The power is an explicit
// binary exponentiation because a correctly rounded pow() differs in the last
// digits for long runs, and callers compare results bit for bit.
double calculate_run_probability_single(std::int32_t run_length, double gc) {
    const double at = 1.0 - gc;
    const double at_squared = at * at;
    const double stop_mass = (gc + 1.0) * at_squared;  // 8 x P(codon is a stop)
    const double scaled = stop_mass * -0.125;
    const double q = 1.0 + scaled;  // P(codon is not a stop)

    // Magnitude as unsigned, so that -2147483648 becomes 2147483648.
    std::uint32_t m = run_length < 0 ? 0u - static_cast<std::uint32_t>(run_length)
                                     : static_cast<std::uint32_t>(run_length);
    double result = (m & 1u) != 0 ? q : 1.0;
    double power = q;  // q to the 2^k after k squarings
    while (m > 1) {
        power = power * power;
        if ((m & 2u) != 0) result = result * power;
        m >>= 1;
    }
    return run_length < 0 ? 1.0 / result : result;
}

}  // namespace marlinox::analysis
