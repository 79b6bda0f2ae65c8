#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <ostream>

#include "analysis/kernels.hpp"

namespace marlinox::analysis {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

struct ProbabilityCase {
    std::int32_t run_length;
    double gc;
    double expected;
    friend std::ostream& operator<<(std::ostream& os, const ProbabilityCase& c) {
        return os << "n=" << c.run_length << " gc=" << c.gc;
    }
};

class RunProbability : public testing::TestWithParam<ProbabilityCase> {};

TEST_P(RunProbability, MatchesToTheLastBit) {
    const ProbabilityCase& c = GetParam();
    const double got = calculate_run_probability_single(c.run_length, c.gc);
    if (std::isnan(c.expected))
        EXPECT_TRUE(std::isnan(got)) << got;
    else
        EXPECT_EQ(got, c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Examples, RunProbability,
    testing::Values(
        // gc 0: q = 0.875.
        ProbabilityCase{1, 0.0, 0.875}, ProbabilityCase{2, 0.0, 0.765625},
        ProbabilityCase{10, 0.0, 0.2630755761638284}, ProbabilityCase{-1, 0.0, 1.1428571428571428},
        // gc 0.5: q = 0.953125; a correctly rounded power would end in ...752.
        ProbabilityCase{1, 0.5, 0.953125}, ProbabilityCase{100, 0.5, 0.008222163388141749},
        ProbabilityCase{-100, 0.5, 1.0 / 0.008222163388141749},
        // Run length 0 is 1 for every fraction, NaN included; gc 1 gives q = 1.
        ProbabilityCase{0, 0.3, 1.0}, ProbabilityCase{0, kNaN, 1.0},
        ProbabilityCase{7, kNaN, kNaN}, ProbabilityCase{1000, 1.0, 1.0},
        ProbabilityCase{-1000, 1.0, 1.0}));

INSTANTIATE_TEST_SUITE_P(
    Extremes, RunProbability,
    testing::Values(
        // The magnitude of INT32_MIN is taken as unsigned; the power underflows to
        // 0 and its reciprocal is infinite.
        ProbabilityCase{std::numeric_limits<std::int32_t>::min(), 0.5, kInf},
        ProbabilityCase{std::numeric_limits<std::int32_t>::max(), 0.5, 0.0},
        ProbabilityCase{std::numeric_limits<std::int32_t>::min(), 1.0, 1.0},
        // Fractions outside [0, 1] take the same arithmetic.
        ProbabilityCase{1, 2.0, 0.625},   // d = -1, s = 3
        ProbabilityCase{3, -1.0, 1.0},    // s = 0
        ProbabilityCase{1, kInf, -kInf},  // q = 1 + inf * -0.125
        ProbabilityCase{2, kInf, kInf}));

// The exponentiation multiplies the squares of q whose bits are set, lowest
// first; an independent loop over the bits must give the same doubles.
TEST(RunProbability, FollowsTheLowestBitFirstSquaringOrderForEveryWidth) {
    const double gc = 0.4242;
    const double d = 1.0 - gc;
    const double e = d * d;
    const double s = (gc + 1.0) * e;
    const double t = s * -0.125;
    const double q = 1.0 + t;
    constexpr std::uint64_t runs[] = {3, 5, 6, 7, 31, 64, 99, 1000, 123457, 0x7fff'ffff, 0x1'0000'0005};
    for (const std::uint64_t n : runs) {
        // Multiplying by the initial 1.0 is exact, so it stands in for "r = q".
        double r = 1.0;
        double square = q;
        for (std::uint64_t m = n; m != 0; m >>= 1) {
            if ((m & 1u) != 0) r = r * square;
            square = square * square;
        }
        EXPECT_EQ(calculate_run_probability_wide(n, gc), r) << n;
        if (n > 0x7fff'ffffull) continue;
        const auto signed_n = static_cast<std::int32_t>(n);
        EXPECT_EQ(calculate_run_probability_single(signed_n, gc), r) << n;
        EXPECT_EQ(calculate_run_probability_single(-signed_n, gc), 1.0 / r) << n;
    }
}

}  // namespace
}  // namespace marlinox::analysis
