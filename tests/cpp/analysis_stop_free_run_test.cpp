#include <gtest/gtest.h>

#include <cstddef>
#include <ostream>
#include <random>
#include <string>
#include <string_view>

#include "analysis/kernels.hpp"
#include "analysis/stop_free_run.hpp"
#include "failure/utf8.hpp"
#include "failure/internal_failure.hpp"

namespace marlinox::analysis {
namespace {

struct RunCase {
    std::string sequence;
    std::size_t expected;
    friend std::ostream& operator<<(std::ostream& os, const RunCase& c) {
        return os << '"' << c.sequence << "\" -> " << c.expected;
    }
};

class StopFreeRun : public testing::TestWithParam<RunCase> {};

TEST_P(StopFreeRun, KernelAndLiteralPathAgreeOnTheRunLength) {
    const RunCase& c = GetParam();
    EXPECT_EQ(calculate_stop_free_run_single(c.sequence), c.expected);
    EXPECT_EQ(stop_free_run_literal(c.sequence), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Examples, StopFreeRun,
    testing::Values(RunCase{"", 0}, RunCase{"AT", 0}, RunCase{"ATG", 1},
                    RunCase{"TAA", 1},  // forward 0, reverse TTA 1
                    RunCase{"ATGTAA", 2}, RunCase{"atgtaa", 2}, RunCase{"AtGtAa", 2},
                    RunCase{"TAATAATAA", 3}, RunCase{"TAGTAGTAG", 3},
                    RunCase{"ATGAAATAGCCCGGGTTT", 6}, RunCase{"NNNNNN", 2},
                    RunCase{"AUGUAA", 2}, RunCase{"ATG TAA", 2}, RunCase{"TAGATAG", 2},
                    RunCase{std::string("AT\0GTAA", 7), 2},  // NUL is an ordinary byte
                    RunCase{"TAATAGTGA", 3},                  // reverse TCACTATTA: frame 0 is clear
                    RunCase{"TTATTATTA", 3},
                    RunCase{"TGATGATGATGA", 4}));  // reverse TCATCATCATCA

INSTANTIATE_TEST_SUITE_P(
    NonAscii, StopFreeRun,
    testing::Values(RunCase{"\u00C9", 0},          // É: two bytes, no window
                    RunCase{"A\u00C9", 1},         // one window over the whole text
                    RunCase{"\u00C9A", 1},
                    RunCase{"A\u00C9A", 1},        // m = 4, É in bytes 1 and 2
                    RunCase{"\u20AC", 1},          // €: one three-byte window
                    RunCase{"\u00DFTAA", 1},       // ß: scanned as SSTAA
                    RunCase{"\u017FTAA", 1},       // ſ: scanned as STAA
                    RunCase{"\u0131TAA", 1},       // ı: scanned as ITAA
                    RunCase{"\u0149", 1},          // ŉ: ʼN, three bytes
                    RunCase{"\u00DF", 0},          // SS
                    RunCase{"\uFB01taa", 1},       // ﬁ: FITAA
                    RunCase{"\uFB06\uFB06TGA", 2}  // ﬆﬆ: STSTTGA
                    ));

struct FailureCase {
    std::string sequence;
    std::string message;
    friend std::ostream& operator<<(std::ostream& os, const FailureCase& c) {
        return os << '"' << c.sequence << '"';
    }
};

class StopFreeRunFailure : public testing::TestWithParam<FailureCase> {};

std::string failure_message(std::size_t (*kernel)(std::string_view), std::string_view sequence) {
    try {
        const std::size_t score = kernel(sequence);
        ADD_FAILURE() << "no failure; score " << score;
    } catch (const InternalFailure& failure) {
        return failure.message();
    }
    return {};
}

TEST_P(StopFreeRunFailure, FailsWithTheCharBoundaryMessage) {
    const FailureCase& c = GetParam();
    EXPECT_EQ(failure_message(calculate_stop_free_run_single, c.sequence), c.message);
    EXPECT_EQ(failure_message(stop_free_run_literal, c.sequence), c.message);
}

const std::string k256A(256, 'A');

INSTANTIATE_TEST_SUITE_P(
    Examples, StopFreeRunFailure,
    testing::Values(
        FailureCase{"ATG\u00C9",
                    "byte index 4 is not a char boundary; it is inside '\u00C9' (bytes 3..5) of "
                    "`ATG\u00C9`"},
        // The quoted text is the upper-cased one.
        FailureCase{"atg\u00E9",
                    "byte index 4 is not a char boundary; it is inside '\u00C9' (bytes 3..5) of "
                    "`ATG\u00C9`"},
        FailureCase{"\u00C9AA",
                    "byte index 1 is not a char boundary; it is inside '\u00C9' (bytes 0..2) of "
                    "`\u00C9AA`"},
        // Frames 0 and 1 pass; frame 2 ends its first window inside the accent.
        FailureCase{"ATGE\u0301",
                    "byte index 5 is not a char boundary; it is inside '\\u{301}' (bytes 4..6) of "
                    "`ATGE\u0301`"},
        FailureCase{std::string(300, 'A') + "\u00C9",
                    "byte index 301 is not a char boundary; it is inside '\u00C9' (bytes "
                    "300..302) of `" + k256A + "`[...]"},
        // Byte 256 is inside É: the quote stops before it.
        FailureCase{std::string(255, 'A') + "\u00C9",
                    "byte index 256 is not a char boundary; it is inside '\u00C9' (bytes "
                    "255..257) of `" + std::string(255, 'A') + "`[...]"},
        // Exactly 256 bytes: quoted whole, no ellipsis.
        FailureCase{std::string(254, 'A') + "\u00C9",
                    "byte index 255 is not a char boundary; it is inside '\u00C9' (bytes "
                    "254..256) of `" + std::string(254, 'A') + "\u00C9`"}));

INSTANTIATE_TEST_SUITE_P(
    FourBytes, StopFreeRunFailure,
    testing::Values(
        // m = 4 fails exactly when byte 1 or byte 3 is a continuation byte.
        FailureCase{"AA\u00C9",
                    "byte index 3 is not a char boundary; it is inside '\u00C9' (bytes 2..4) of "
                    "`AA\u00C9`"},
        FailureCase{"\u20ACA",
                    "byte index 1 is not a char boundary; it is inside '\u20AC' (bytes 0..3) of "
                    "`\u20ACA`"},
        FailureCase{"\U0001D11E",
                    "byte index 3 is not a char boundary; it is inside '\U0001D11E' (bytes 0..4) "
                    "of `\U0001D11E`"},
        // ñ upper-cases to Ñ; the failure speaks of the upper-cased text.
        FailureCase{"\u00F1\u00F1",
                    "byte index 3 is not a char boundary; it is inside '\u00D1' (bytes 2..4) of "
                    "`\u00D1\u00D1`"}));

INSTANTIATE_TEST_SUITE_P(
    Escapes, StopFreeRunFailure,
    testing::Values(
        // Not printable: no-break space, zero-width space, private use, unassigned.
        FailureCase{"ATG\u00A0A",
                    "byte index 4 is not a char boundary; it is inside '\\u{a0}' (bytes 3..5) of "
                    "`ATG\u00A0A`"},
        FailureCase{"A\u200B",
                    "byte index 3 is not a char boundary; it is inside '\\u{200b}' (bytes 1..4) "
                    "of `A\u200B`"},
        FailureCase{"A\uE000",
                    "byte index 3 is not a char boundary; it is inside '\\u{e000}' (bytes 1..4) "
                    "of `A\uE000`"},
        FailureCase{"AA\xCD\xB8",  // U+0378, unassigned
                    "byte index 3 is not a char boundary; it is inside '\\u{378}' (bytes 2..4) "
                    "of `AA\xCD\xB8`"},
        // Combining: enclosing mark (Me), and Bengali vowel sign AA, a spacing
        // mark that extends graphemes all the same.
        FailureCase{"AA\u0488",
                    "byte index 3 is not a char boundary; it is inside '\\u{488}' (bytes 2..4) "
                    "of `AA\u0488`"},
        FailureCase{"A\u09BE",
                    "byte index 3 is not a char boundary; it is inside '\\u{9be}' (bytes 1..4) "
                    "of `A\u09BE`"},
        // Printable non-ASCII stays as it is: a spacing mark, an emoji.
        FailureCase{"A\u0903",
                    "byte index 3 is not a char boundary; it is inside '\u0903' (bytes 1..4) of "
                    "`A\u0903`"},
        FailureCase{"\U0001F600A",
                    "byte index 3 is not a char boundary; it is inside '\U0001F600' (bytes 0..4) "
                    "of `\U0001F600A`"}));

// The scan order decides which window reports: frame 0 of the forward strand
// comes first, then frame 1, then frame 2.
INSTANTIATE_TEST_SUITE_P(
    ScanOrder, StopFreeRunFailure,
    testing::Values(
        FailureCase{"AAAA\u00C9\u00C9",  // frame 0 passes; frame 1 ends inside the second É
                    "byte index 7 is not a char boundary; it is inside '\u00C9' (bytes 6..8)"
                    " of `AAAA\u00C9\u00C9`"},
        FailureCase{"AA\u00C9AA",  // the first window of frame 0 ends inside É
                    "byte index 3 is not a char boundary; it is inside '\u00C9' (bytes 2..4) of "
                    "`AA\u00C9AA`"},
        FailureCase{"AAA\u00C9A",  // frame 0 windows 0..3 and 3..6 pass; frame 1 ends at 4
                    "byte index 4 is not a char boundary; it is inside '\u00C9' (bytes 3..5) of "
                    "`AAA\u00C9A`"}));

// Invalid UTF-8 never reaches the kernel from Python, but it must neither crash
// nor produce a message that is not valid UTF-8: an invalid byte is a one-byte
// character, quoted as U+FFFD and described as \x{hex}.
INSTANTIATE_TEST_SUITE_P(
    InvalidUtf8, StopFreeRunFailure,
    testing::Values(
        FailureCase{"AAAA\x80",
                    "byte index 4 is not a char boundary; it is inside '\\x{80}' (bytes 4..5) of "
                    "`AAAA\uFFFD`"},
        FailureCase{"A\xC3\xA9\xA9",  // é and a stray continuation byte; é upper-cases
                    "byte index 3 is not a char boundary; it is inside '\\x{a9}' (bytes 3..4) of "
                    "`A\u00C9\uFFFD`"},
        FailureCase{"\xE2\x82" "AAA",  // truncated sequence: two invalid bytes
                    "byte index 1 is not a char boundary; it is inside '\\x{82}' (bytes 1..2) of "
                    "`\uFFFD\uFFFDAAA`"},
        FailureCase{"\xED\xA0\x80" "AA",  // encoded surrogate
                    "byte index 1 is not a char boundary; it is inside '\\x{a0}' (bytes 1..2) of "
                    "`\uFFFD\uFFFD\uFFFDAA`"}));

TEST(StopFreeRunInvalidUtf8, BytesThatAreNoContinuationNeverFail) {
    // 0xFF and 0xFE start no character and are no continuation bytes either, so
    // every position is a boundary; they are kept and not complemented.
    EXPECT_EQ(calculate_stop_free_run_single("\xFF\xFETAA"), 1u);
    EXPECT_EQ(reverse_complement("\xFF\xFETAA"), "TTA\xFE\xFF");
    EXPECT_EQ(uppercase_full("a\xFF\xC3"), "A\xFF\xC3");
}

// Boundary rules: up to 3 bytes never fail, 5 bytes or more fail on any non-ASCII
// character wherever it stands.
TEST(StopFreeRunBoundaries, ShortTextsNeverFail) {
    for (const std::string_view text : {"\u00C9", "A\u00C9", "\u00C9A", "\u20AC", "\u00E9", "a\u00E9"})
        EXPECT_NO_THROW(calculate_stop_free_run_single(text)) << text;
}

TEST(StopFreeRunBoundaries, FiveBytesOrMoreFailOnAnyNonAscii) {
    for (const std::string_view ch : {"\u00C9", "\u20AC", "\U0001F600"}) {
        for (std::size_t length = 5; length <= 10; ++length) {
            for (std::size_t at = 0; at + ch.size() <= length; ++at) {
                std::string text(length - ch.size(), 'A');
                text.insert(at, ch);
                EXPECT_THROW(calculate_stop_free_run_single(text), InternalFailure) << text;
            }
        }
    }
}

TEST(StopFreeRunBoundaries, FourBytesFailExactlyOnContinuationAtOneOrThree) {
    const auto fails = [](std::string_view text) {
        try {
            calculate_stop_free_run_single(text);
            return false;
        } catch (const InternalFailure&) {
            return true;
        }
    };
    EXPECT_FALSE(fails("A\u00C9A"));
    EXPECT_TRUE(fails("\u00C9\u00C9"));
    EXPECT_TRUE(fails("\u00C9AA"));
    EXPECT_TRUE(fails("AA\u00C9"));
    EXPECT_TRUE(fails("\u20ACA"));
    EXPECT_FALSE(fails("AAAA"));
}

TEST(StopFreeRunSteps, ReverseComplementMovesWholeCharacters) {
    EXPECT_EQ(reverse_complement("ACGTacgtN"), "NACGTACGT");
    EXPECT_EQ(reverse_complement("A\u00C9G"), "C\u00C9T");
    EXPECT_EQ(reverse_complement("RYSWKM"), "MKWSYR");  // ambiguity letters stay
    EXPECT_EQ(reverse_complement(""), "");
}

TEST(StopFreeRunSteps, UppercaseUsesTheFullMapping) {
    EXPECT_EQ(uppercase_full("acgtn\u00DF\uFB01\u0149\u00E9"), "ACGTNSSFI\u02BCN\u00C9");
    EXPECT_EQ(uppercase_full("A1 -\n\t"), "A1 -\n\t");
}

// --- ASCII path against the literal path -------------------------------------

std::string random_text(std::mt19937& rng, std::string_view alphabet, std::size_t length) {
    std::uniform_int_distribution<std::size_t> pick(0, alphabet.size() - 1);
    std::string text(length, '\0');
    for (char& c : text) c = alphabet[pick(rng)];
    return text;
}

TEST(StopFreeRunAsciiPath, MatchesTheLiteralPathOnRandomText) {
    std::mt19937 rng(20261207);
    std::string all_ascii;
    for (int c = 0; c < 0x80; ++c) all_ascii.push_back(static_cast<char>(c));
    const std::string_view alphabets[] = {"ACGT", "TAGC", "TA", "TAGCN", "acgtACGT", "TAGta c\n",
                                          all_ascii};
    std::uniform_int_distribution<std::size_t> short_length(0, 64), long_length(65, 3000);
    for (const std::string_view alphabet : alphabets) {
        for (int round = 0; round < 3000; ++round) {
            const std::string text = random_text(rng, alphabet, short_length(rng));
            ASSERT_EQ(stop_free_run_ascii(text), stop_free_run_literal(text)) << text;
        }
        // Longer texts cross the 64-byte blocks of the ASCII scan many times.
        for (int round = 0; round < 100; ++round) {
            const std::string text = random_text(rng, alphabet, long_length(rng));
            ASSERT_EQ(stop_free_run_ascii(text), stop_free_run_literal(text)) << text.size();
        }
        const std::string huge = random_text(rng, alphabet, 1u << 18);
        ASSERT_EQ(stop_free_run_ascii(huge), stop_free_run_literal(huge));
    }
}

TEST(StopFreeRunAsciiPath, LongRunsAtEitherEndOfEitherStrand) {
    // A clear stretch in one frame, stops elsewhere: the long run must be found
    // whichever frame and strand carries it.
    for (std::size_t shift = 0; shift < 3; ++shift) {
        const std::string prefix(shift, 'C');
        for (const std::string_view stop : {"TAA", "TTA"}) {
            std::string text = prefix;
            for (int k = 0; k < 5; ++k) text += stop;
            text += std::string(300, 'G');
            for (int k = 0; k < 2; ++k) text += stop;
            ASSERT_EQ(stop_free_run_ascii(text), stop_free_run_literal(text)) << text;
            const std::string mirrored(text.rbegin(), text.rend());
            ASSERT_EQ(stop_free_run_ascii(mirrored), stop_free_run_literal(mirrored)) << mirrored;
        }
    }
}

TEST(StopFreeRunLiteralPath, NonAsciiThatUpperCasesToAsciiScansLikeTheAsciiText) {
    // ſ, ı, ﬁ and ﬆ turn into ASCII letters; their texts never fail and score
    // like their upper-cased form.
    std::mt19937 rng(7);
    const std::string_view pieces[] = {"A", "C", "G", "T", "t", "a", "\u017F", "\u0131",
                                       "\uFB01", "\uFB06"};
    std::uniform_int_distribution<std::size_t> pick(0, std::size(pieces) - 1), count(0, 30);
    for (int round = 0; round < 2000; ++round) {
        std::string text;
        for (std::size_t k = count(rng); k > 0; --k) text += pieces[pick(rng)];
        const std::string upper = uppercase_full(text);
        ASSERT_TRUE(is_ascii(upper));
        ASSERT_EQ(calculate_stop_free_run_single(text), stop_free_run_ascii(upper)) << text;
    }
}

TEST(StopFreeRunLiteralPath, ArbitraryBytesNeverCrashAndFailWithValidUtf8) {
    std::mt19937 rng(42);
    std::string alphabet = "TAGCa\x80\xBF\xC3\xA9\xE2\x82\xAC\xF0\x9F\xED\xF4\x90\xFF";
    alphabet.push_back('\0');
    std::uniform_int_distribution<std::size_t> length(0, 24);
    for (int round = 0; round < 20000; ++round) {
        const std::string text = random_text(rng, alphabet, length(rng));
        try {
            (void)stop_free_run_literal(text);
        } catch (const InternalFailure& failure) {
            const std::string& message = failure.message();
            for (std::size_t pos = 0; pos < message.size();) {
                const utf8::Char ch = utf8::decode(message, pos);
                ASSERT_TRUE(ch.valid) << message;
                pos += ch.length;
            }
        }
    }
}

}  // namespace
}  // namespace marlinox::analysis
