#include "analysis/run_statistics.hpp"

#include <array>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>

#include "analysis/kernels.hpp"

namespace marlinox::analysis {

double no_stop_per_codon(double gc) noexcept {
    const double at = 1.0 - gc;
    const double at_squared = at * at;
    const double stop_mass = (gc + 1.0) * at_squared;  // 8 x P(codon is a stop)
    const double scaled = stop_mass * -0.125;
    return 1.0 + scaled;
}

namespace {

// The codons with k bases G or C, for k = 0 to 3: such a codon has the chance
// (gc / 2)^k ((1 - gc) / 2)^(3 - k).
constexpr std::array<CodonSet, 4> kCodonsByStrongBases = [] {
    std::array<CodonSet, 4> sets{};
    for (unsigned codon = 0; codon < 64; ++codon) {
        unsigned strong = 0;
        for (const unsigned base : {codon >> 4, (codon >> 2) & 3u, codon & 3u}) strong += base == 1 || base == 2;
        sets[strong] |= CodonSet{1} << codon;
    }
    return sets;
}();

}  // namespace

double no_stop_per_codon(double gc, CodonSet stops) noexcept {
    if (stops == kStandardStops) return no_stop_per_codon(gc);
    const double strong = gc * 0.5;
    const double weak = (1.0 - gc) * 0.5;
    const double weak_squared = weak * weak;
    const double strong_squared = strong * strong;
    const double chances[4] = {weak_squared * weak, strong * weak_squared, strong_squared * weak,
                               strong_squared * strong};
    // The stops grouped by their count of G and C: one product per group, not per codon.
    double stop_mass = 0.0;
    for (std::size_t k = 0; k < 4; ++k) {
        const auto count = static_cast<double>(std::popcount(stops & kCodonsByStrongBases[k]));
        stop_mass = stop_mass + count * chances[k];
    }
    return 1.0 - stop_mass;
}

double no_stop_power(double q, std::uint64_t codons) noexcept {
    double result = (codons & 1u) != 0 ? q : 1.0;
    double square = q;  // q to the 2^k after k squarings
    while (codons > 1) {
        square = square * square;
        if ((codons & 2u) != 0) result = result * square;
        codons >>= 1;
    }
    return result;
}

double log10_run_probability(std::uint64_t run_length, double q, double probability) noexcept {
    // A run of 0 codons would give -0.0 for q < 1.
    if (probability == 1.0) return 0.0;
    return static_cast<double>(run_length) * std::log10(q);
}

double run_evalue(std::uint64_t run_length, std::uint64_t length, double q, double probability) noexcept {
    const double stop = 1.0 - q;
    double terms[3];
    for (std::uint64_t frame = 0; frame < 3; ++frame) {
        const std::uint64_t codons = length > frame ? (length - frame) / 3 : 0;
        terms[frame] = codons >= run_length
                           ? probability * (1.0 + static_cast<double>(codons - run_length) * stop)
                           : 0.0;
    }
    // Forward frames 0, 1, 2, then the reverse ones, which hold as many codons.
    double sum = terms[0];
    for (const double term : {terms[1], terms[2], terms[0], terms[1], terms[2]}) sum = sum + term;
    return sum;
}

double calculate_run_probability_single(std::int32_t run_length, double gc) {
    // Magnitude as unsigned, so that -2147483648 becomes 2147483648.
    const std::uint32_t m = run_length < 0 ? 0u - static_cast<std::uint32_t>(run_length)
                                           : static_cast<std::uint32_t>(run_length);
    const double result = no_stop_power(no_stop_per_codon(gc), m);
    return run_length < 0 ? 1.0 / result : result;
}

double calculate_run_probability_wide(std::uint64_t run_length, double gc) {
    return no_stop_power(no_stop_per_codon(gc), run_length);
}

}  // namespace marlinox::analysis
