#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <ostream>
#include <string>
#include <vector>

#include "analysis/unicode_tables.hpp"

namespace marlinox::analysis::unicode {
namespace {

struct UpperCase {
    char32_t cp;
    std::vector<char32_t> upper;
    friend std::ostream& operator<<(std::ostream& os, const UpperCase& c) {
        return os << "U+" << std::hex << static_cast<unsigned>(c.cp);
    }
};

class UppercaseTable : public testing::TestWithParam<UpperCase> {};

TEST_P(UppercaseTable, GivesTheFullMapping) {
    char32_t out[kMaxUpperLength] = {};
    const std::size_t n = to_upper_full(GetParam().cp, out);
    EXPECT_EQ(std::vector<char32_t>(out, out + n), GetParam().upper);
}

INSTANTIATE_TEST_SUITE_P(
    Mappings, UppercaseTable,
    testing::Values(
        UpperCase{U'a', {U'A'}}, UpperCase{U'z', {U'Z'}}, UpperCase{U'A', {U'A'}},
        UpperCase{U'{', {U'{'}}, UpperCase{0x7F, {0x7F}},
        UpperCase{0xE9, {0xC9}},              // é
        UpperCase{0xFF, {0x178}},             // ÿ -> Ÿ
        UpperCase{0xB5, {0x39C}},             // micro sign -> Greek capital mu
        UpperCase{0x101, {0x100}},            // ā, in an alternating block
        UpperCase{0x100, {0x100}},            // Ā, its uppercase neighbour
        UpperCase{0x17F, {U'S'}},             // long s
        UpperCase{0x131, {U'I'}},             // dotless i
        UpperCase{0x1C5, {0x1C4}},            // titlecase Dž -> DŽ
        UpperCase{0xDF, {U'S', U'S'}},        // ß
        UpperCase{0xFB01, {U'F', U'I'}},      // ﬁ
        UpperCase{0xFB03, {U'F', U'F', U'I'}},
        UpperCase{0x149, {0x2BC, U'N'}},      // ŉ
        UpperCase{0x390, {0x399, 0x308, 0x301}},
        UpperCase{0x1E9E, {0x1E9E}},          // capital sharp s stays
        UpperCase{0x10D0, {0x1C90}},          // Georgian mkhedruli -> mtavruli
        UpperCase{0xFF41, {0xFF21}},          // fullwidth a
        UpperCase{0x10428, {0x10400}},        // Deseret
        UpperCase{0x4E2D, {0x4E2D}},          // 中
        UpperCase{0x10FFFF, {0x10FFFF}}));

struct EscapeCase {
    char32_t cp;
    bool escaped;
    friend std::ostream& operator<<(std::ostream& os, const EscapeCase& c) {
        return os << "U+" << std::hex << static_cast<unsigned>(c.cp);
    }
};

class EscapeTable : public testing::TestWithParam<EscapeCase> {};

TEST_P(EscapeTable, EscapesCombiningAndNonPrintable) {
    EXPECT_EQ(is_escaped_in_messages(GetParam().cp), GetParam().escaped);
}

INSTANTIATE_TEST_SUITE_P(
    CodePoints, EscapeTable,
    testing::Values(
        EscapeCase{U'A', false}, EscapeCase{U' ', false}, EscapeCase{0x0, true},
        EscapeCase{0x7F, true},     // control
        EscapeCase{0xA0, true},     // no-break space
        EscapeCase{0xAD, true},     // soft hyphen (format)
        EscapeCase{0x3000, true},   // ideographic space
        EscapeCase{0x2028, true},   // line separator
        EscapeCase{0xC9, false},    // É
        EscapeCase{0x301, true},    // combining acute accent (Mn)
        EscapeCase{0x488, true},    // combining hundred thousands sign (Me)
        EscapeCase{0x9BE, true},    // Bengali vowel sign AA: spacing, but extends graphemes
        EscapeCase{0xFF9E, true},   // halfwidth voiced sound mark: a letter that extends
        EscapeCase{0x903, false},   // Devanagari visarga: a spacing mark that does not
        EscapeCase{0x200B, true},   // zero-width space (format)
        EscapeCase{0x200C, true},   // zero-width non-joiner
        EscapeCase{0x378, true},    // unassigned
        EscapeCase{0xE000, true},   // private use
        EscapeCase{0x1F600, false}, // emoji
        EscapeCase{0xE0100, true},  // variation selector 17 (Mn)
        EscapeCase{0x10FFFF, true}, // noncharacter
        EscapeCase{0x4E2D, false}));

TEST(UnicodeTables, RecordTheirUnicodeRelease) {
    const std::string version = kUnicodeVersion;
    EXPECT_EQ(std::count(version.begin(), version.end(), '.'), 2) << version;
}

}  // namespace
}  // namespace marlinox::analysis::unicode
