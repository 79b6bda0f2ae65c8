// Every instruction set the processor offers must give exactly the literal
// kernel's results: the stop-free run on ASCII text, the verdict of the fused
// ASCII check, and the GC count.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "analysis/gc_content_levels.hpp"
#include "analysis/kernels.hpp"
#include "analysis/scan_level.hpp"
#include "analysis/stop_free_run.hpp"
#include "codon_model.hpp"
#include "located_run_model.hpp"

namespace marlinox::analysis {
namespace {

std::vector<ScanLevel> levels() {
    const auto available = available_scan_levels();
    return {available.begin(), available.end()};
}

std::string level_name(const testing::TestParamInfo<ScanLevel>& info) {
    return std::string(scan_level_name(info.param));
}

std::string random_text(std::mt19937& rng, std::string_view alphabet, std::size_t length) {
    std::uniform_int_distribution<std::size_t> pick(0, alphabet.size() - 1);
    std::string text(length, '\0');
    for (char& c : text) c = alphabet[pick(rng)];
    return text;
}

std::size_t literal_gc(std::string_view text) {
    return static_cast<std::size_t>(std::count_if(text.begin(), text.end(), [](char c) {
        return c == 'G' || c == 'C' || c == 'g' || c == 'c';
    }));
}

class ScanLevels : public testing::TestWithParam<ScanLevel> {};

TEST(ScanLevelSelection, PortableComesFirstAndTheSelectedLevelIsAvailable) {
    const auto available = available_scan_levels();
    ASSERT_FALSE(available.empty());
    EXPECT_EQ(available.front(), ScanLevel::portable);
    EXPECT_NE(std::find(available.begin(), available.end(), selected_scan_level()), available.end());
#if defined(__x86_64__)
    EXPECT_NE(std::find(available.begin(), available.end(), ScanLevel::sse2), available.end());
#endif
}

TEST_P(ScanLevels, StopFreeRunMatchesTheLiteralKernel) {
    std::mt19937 rng(20260611);
    std::string all_ascii;
    for (int c = 0; c < 0x80; ++c) all_ascii.push_back(static_cast<char>(c));
    // Rare stops ("CCCCCGGGGGTA") make gaps wide enough that the scans skip
    // most stops and find the latest ones again from the text.
    const std::string_view alphabets[] = {"ACGT", "TA", "TAGCN", "acgtACGT", "TAGta c\n", all_ascii, "CCCCCGGGGGTA"};
    // Lengths around every block edge of the 64-byte scan, short and past a few
    // blocks, then long texts.
    std::vector<std::size_t> lengths;
    for (std::size_t n = 0; n <= 200; ++n) lengths.push_back(n);
    for (std::size_t n = 250; n <= 330; ++n) lengths.push_back(n);
    // Long texts, some of whose last blocks after the grouped loop hold 64;
    // 65 and 1; 2; and 3 bytes.
    for (std::size_t n : {1000u, 4096u, 4097u, 4098u, 4099u, 20011u, 65536u}) lengths.push_back(n);
    for (const std::string_view alphabet : alphabets) {
        for (const std::size_t length : lengths) {
            for (int round = 0; round < (length < 200 ? 20 : 3); ++round) {
                const std::string text = random_text(rng, alphabet, length);
                const std::optional<std::size_t> run = stop_free_run_if_ascii(text, GetParam());
                ASSERT_TRUE(run.has_value()) << text;
                ASSERT_EQ(*run, stop_free_run_literal(text)) << text;
                ASSERT_EQ(stop_free_run_and_gc_if_ascii(text, GetParam()), (RunAndGc{*run, literal_gc(text)})) << text;
                // The text as the start of a longer one: nothing past its end may count.
                const std::string followed = text + "TAGTTAGC\xC3\xA9";
                const std::string_view view(followed.data(), length);
                ASSERT_EQ(stop_free_run_if_ascii(view, GetParam()), run) << text;
                ASSERT_EQ(stop_free_run_and_gc_if_ascii(view, GetParam()), (RunAndGc{*run, literal_gc(text)})) << text;
                ASSERT_EQ(locate_stop_free_run_if_ascii(view, GetParam()), locate_stop_free_run_if_ascii(text, GetParam()))
                    << text;
            }
        }
    }
}

TEST_P(ScanLevels, LongRunsSpanningManyBlocksInEveryFrameAndStrand) {
    for (std::size_t shift = 0; shift < 3; ++shift) {
        for (const std::string_view stop : {"TAA", "TAG", "TGA", "TTA", "CTA", "TCA"}) {
            for (const std::size_t clear : {60u, 63u, 64u, 65u, 300u, 1000u}) {
                std::string text(shift, 'C');
                for (int k = 0; k < 3; ++k) text += stop;
                text += std::string(clear, 'G');
                text += stop;
                text += std::string(shift + 7, 'A');
                ASSERT_EQ(stop_free_run_if_ascii(text, GetParam()), stop_free_run_literal(text)) << text;
            }
        }
    }
}

TEST_P(ScanLevels, LocatedRunIsTheFirstLongestInScanOrder) {
    std::mt19937 rng(20261207);
    unsigned set_round = 0;
    // Few letters make long runs and ties between frames and strands common;
    // "TTAA" texts are rich in stops on both strands. "Q" is no letter but
    // shares A's low four bits, which some levels look letters up by.
    const std::string_view alphabets[] = {"ACGT", "TA", "TAGCN", "acgtNN", "TTAAGC", "CCGG", "CCCCCGGGGGTA", "TAQ"};
    std::vector<std::size_t> lengths;
    for (std::size_t n = 0; n <= 200; ++n) lengths.push_back(n);
    for (std::size_t n : {255u, 256u, 257u, 300u, 1000u, 4096u, 4097u, 4098u, 4099u, 20011u, 65536u})
        lengths.push_back(n);
    for (const std::string_view alphabet : alphabets) {
        for (const std::size_t length : lengths) {
            for (int round = 0; round < (length <= 200 ? 12 : 3); ++round) {
                const std::string text = random_text(rng, alphabet, length);
                const std::optional<LocatedRun> located = locate_stop_free_run_if_ascii(text, GetParam());
                ASSERT_TRUE(located.has_value()) << text;
                const LocatedRun expected = located_by_definition(text);
                ASSERT_EQ(*located, expected) << text << "\n got " << describe(*located) << "\n expected "
                                              << describe(expected);
                ASSERT_EQ(located->run, stop_free_run_if_ascii(text, GetParam())) << text;
                // The same text with other stops; the plain scan measures the same run.
                const CodonSet stops = stop_set_to_try(rng, set_round++);
                const LocatedRun expected_of_set = located_by_definition(text, stops);
                const std::optional<LocatedRun> located_of_set = locate_stop_free_run_if_ascii(text, stops, GetParam());
                ASSERT_TRUE(located_of_set.has_value()) << text;
                ASSERT_EQ(*located_of_set, expected_of_set)
                    << text << " stops " << std::hex << stops << "\n got " << describe(*located_of_set)
                    << "\n expected " << describe(expected_of_set);
                ASSERT_EQ(stop_free_run_and_gc_if_ascii(text, stops, GetParam()),
                          (RunAndGc{expected_of_set.run, expected_of_set.gc_bytes}))
                    << text << " stops " << std::hex << stops;
            }
        }
    }
    // Runs of equal length in every frame and strand; long ones, which the
    // scan follows on its branch-free path.
    for (std::size_t shift = 0; shift < 3; ++shift) {
        for (const std::size_t clear : {63u, 64u, 65u, 300u, 1000u}) {
            for (const std::string_view stop : {"TAA", "TTA", "TAATTA"}) {
                std::string text(shift, 'C');
                for (int k = 0; k < 4; ++k) text += std::string(stop) + std::string(clear, 'C');
                text += std::string(stop) + std::string(shift, 'G');
                ASSERT_EQ(locate_stop_free_run_if_ascii(text, GetParam()), located_by_definition(text)) << text;
            }
        }
    }
    EXPECT_FALSE(locate_stop_free_run_if_ascii("AT\xc3\xa9G", GetParam()).has_value());
    EXPECT_FALSE(locate_stop_free_run_if_ascii("AT\xc3\xa9G", CodonSet{1}, GetParam()).has_value());
    EXPECT_FALSE(stop_free_run_and_gc_if_ascii(std::string(70, '\xff'), CodonSet{1}, GetParam()).has_value());
}

TEST_P(ScanLevels, AnyByteFromHex80OnIsNotAsciiWhereverItStands) {
    std::mt19937 rng(3);
    // Short texts, then texts past four 64-byte blocks (levels may take
    // another path there), up to past the 2 KiB from which long texts are
    // read ahead: in those, the first block and the last five.
    for (const std::size_t length : {3u, 4u, 63u, 64u, 65u, 130u, 200u, 255u, 256u, 257u, 300u, 319u, 320u,
                                     321u, 511u, 512u, 575u, 1000u, 2047u, 2048u, 2049u, 2113u, 4099u}) {
        const std::string base = random_text(rng, "ACGT", length);
        ASSERT_TRUE(stop_free_run_if_ascii(base, GetParam()).has_value());
        const std::size_t tail = 5 * 64;
        for (std::size_t at = 0; at < length; at = at == 63 && length > 64 + tail ? length - tail : at + 1) {
            for (const char high : {'\x80', '\xC3', '\xFF'}) {
                std::string text = base;
                text[at] = high;
                ASSERT_FALSE(stop_free_run_if_ascii(text, GetParam()).has_value()) << length << " " << at;
            }
        }
    }
}

TEST_P(ScanLevels, TextsShorterThanACodonScoreZeroOnlyWhenAscii) {
    for (const std::string_view text : {"", "A", "at"})
        EXPECT_EQ(stop_free_run_if_ascii(text, GetParam()), std::optional<std::size_t>(0)) << text;
    // \u0149 is two bytes that upper-case to three: the literal kernel must see it.
    for (const std::string_view text : {"\xC5\x89", "\xFF"})
        EXPECT_EQ(stop_free_run_if_ascii(text, GetParam()), std::nullopt) << text;
}

TEST_P(ScanLevels, GcCountMatchesTheByteCount) {
    std::mt19937 rng(11);
    std::string every_byte;
    for (int c = 0; c < 256; ++c) every_byte.push_back(static_cast<char>(c));
    const std::string_view alphabets[] = {"ACGT", "GCgc", "gGcCsS\xC3\x87", every_byte};
    for (const std::string_view alphabet : alphabets) {
        for (std::size_t length = 0; length <= 300; ++length) {
            const std::string text = random_text(rng, alphabet, length);
            ASSERT_EQ(count_gc_with(text, GetParam()), literal_gc(text)) << length;
        }
    }
    // More than 255 vectors of matches: the 8-bit lane counters must be emptied in time.
    const std::string all_g(64 * 1024 + 17, 'G');
    EXPECT_EQ(count_gc_with(all_g, GetParam()), all_g.size());
    EXPECT_EQ(gc_content_with(all_g, GetParam()), 1.0);
    EXPECT_EQ(gc_content_with("", GetParam()), 0.0);
}

INSTANTIATE_TEST_SUITE_P(Available, ScanLevels, testing::ValuesIn(levels()), level_name);

}  // namespace
}  // namespace marlinox::analysis
