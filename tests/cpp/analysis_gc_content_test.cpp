#include <gtest/gtest.h>

#include <ostream>
#include <string>

#include "analysis/kernels.hpp"

namespace marlinox::analysis {
namespace {

struct GcCase {
    std::string sequence;
    double expected;
    friend std::ostream& operator<<(std::ostream& os, const GcCase& c) {
        return os << '"' << c.sequence << "\" -> " << c.expected;
    }
};

class GcContent : public testing::TestWithParam<GcCase> {};

TEST_P(GcContent, IsTheShareOfGcBytes) {
    // Exact comparison: the result is one correctly rounded division.
    EXPECT_EQ(calculate_gc_content_single(GetParam().sequence), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Examples, GcContent,
    testing::Values(GcCase{"", 0.0}, GcCase{"GGCC", 1.0}, GcCase{"ATAT", 0.0},
                    GcCase{"gcAT", 0.5},  // lower case counts
                    GcCase{"GCNN", 0.5},  // N only in the denominator
                    GcCase{"GSS", 1.0 / 3.0}, GcCase{"GCS", 2.0 / 3.0},  // S is not G or C
                    GcCase{"GC\u00E9", 0.5},  // é is two bytes: 2 / 4
                    GcCase{"G\u00C7", 1.0 / 3.0},  // Ç is no C
                    GcCase{std::string("G\0C\0", 4), 0.5}, GcCase{"gggggggggT", 0.9},
                    GcCase{"ACGTACGTAC", 0.5}, GcCase{"TTTTTTC", 1.0 / 7.0}));

TEST(GcContent, LongTextCountsEveryByte) {
    std::string text(1 << 20, 'G');
    text[12345] = 'A';
    EXPECT_EQ(calculate_gc_content_single(text), (1048576.0 - 1.0) / 1048576.0);
}

}  // namespace
}  // namespace marlinox::analysis
