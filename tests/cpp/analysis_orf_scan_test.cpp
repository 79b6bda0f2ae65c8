// The ORF scan of every level against the frames walked codon by codon, on
// random texts with N, other IUPAC letters, lower case and bytes above 0x7f,
// under random rules.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "analysis/orf_scan.hpp"
#include "analysis/scan_level.hpp"
#include "codon_model.hpp"
#include "orf_model.hpp"

namespace marlinox::analysis {
namespace {

std::string random_text(std::mt19937& rng, std::string_view alphabet, std::size_t length) {
    std::uniform_int_distribution<std::size_t> pick(0, alphabet.size() - 1);
    std::string text(length, '\0');
    for (char& c : text) c = alphabet[pick(rng)];
    return text;
}

OrfRules random_rules(std::mt19937& rng) {
    OrfRules rules;
    // Short minimums, long ones that no run inside one block reaches, and
    // ones that only runs over several whole blocks reach.
    const std::size_t kind = rng() % 4;
    rules.min_codons = kind < 2 ? std::uniform_int_distribution<std::size_t>(0, 6)(rng)
                       : kind == 2 ? std::uniform_int_distribution<std::size_t>(19, 40)(rng)
                                   : std::uniform_int_distribution<std::size_t>(41, 400)(rng);
    rules.max_codons = rng() % 3 == 0
                           ? std::uniform_int_distribution<std::size_t>(rules.min_codons, rules.min_codons + 40)(rng)
                           : rules.max_codons;
    rules.from_start = rng() % 2 == 0;
    // ATG always, and a few random other codons now and then.
    rules.start_codons = std::uint64_t{1} << 14;
    for (int extra = static_cast<int>(rng() % 4); extra > 0; --extra) rules.start_codons |= std::uint64_t{1} << (rng() % 64);
    // The standard stops half the time, other sets the other half.
    if (rng() % 2 == 0) rules.stop_codons = stop_set_to_try(rng, static_cast<unsigned>(rng() % 64));
    const unsigned strands = 1 + static_cast<unsigned>(rng() % 3);
    rules.forward = (strands & 1u) != 0;
    rules.reverse = (strands & 2u) != 0;
    return rules;
}

struct Alphabet {
    const char* name;
    std::string_view letters;
    std::size_t max_length;
};

class OrfScan : public testing::TestWithParam<Alphabet> {};

TEST_P(OrfScan, FindsExactlyTheOrfsOfTheDefinition) {
    std::mt19937 rng(20261208);
    for (int round = 0; round < 3000; ++round) {
        const std::size_t length = std::uniform_int_distribution<std::size_t>(0, GetParam().max_length)(rng);
        const std::string text = random_text(rng, GetParam().letters, length);
        const OrfRules rules = random_rules(rng);
        const auto gc_bytes = static_cast<std::size_t>(
            std::count_if(text.begin(), text.end(), [](char c) { return std::string_view("GCgc").find(c) != std::string_view::npos; }));
        std::vector<Orf> expected{Orf{1, 4, false, 1, false, false}};
        const auto defined = orfs_by_definition(text, rules);
        expected.insert(expected.end(), defined.begin(), defined.end());
        for (const ScanLevel level : available_scan_levels()) {
            std::vector<Orf> found{Orf{1, 4, false, 1, false, false}};  // appended to, never cleared
            ASSERT_EQ(find_orfs(text, rules, found, level), gc_bytes) << scan_level_name(level) << " " << text;
            ASSERT_EQ(found.size(), expected.size()) << scan_level_name(level) << " " << text;
            for (std::size_t i = 0; i < found.size(); ++i) {
                ASSERT_EQ(found[i], expected[i]) << scan_level_name(level) << " " << text << " ORF " << i << ": "
                                                 << describe(found[i]) << " expected " << describe(expected[i]);
            }
            // The same text cut into pieces, as a long record is on many threads.
            const std::size_t pieces = 2 + rng() % 5;
            std::vector<OrfPiece> parts;
            for (std::size_t piece = 0; piece < pieces; ++piece)
                parts.push_back(find_piece_orfs(text, rules, piece, pieces, level));
            std::vector<Orf> joined{Orf{1, 4, false, 1, false, false}};
            ASSERT_EQ(join_orf_pieces(text, rules, parts, joined), gc_bytes) << scan_level_name(level) << " " << text;
            ASSERT_EQ(joined, expected) << scan_level_name(level) << " in " << pieces << " pieces: " << text;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Alphabets, OrfScan,
                         testing::Values(Alphabet{"Stops", "TAG", 80},  // stops everywhere, runs of 0 and 1 codon
                                         Alphabet{"Acgt", "ACGT", 300},
                                         Alphabet{"MixedCase", "ACGTNacgtnRY\x80\xf4", 300},
                                         Alphabet{"AcrossBlocks", "ACGTACGTACGTACGTacgtN", 700},
                                         // Long runs, ending in blocks with several stops of a frame.
                                         Alphabet{"RareStops", "ACGCGACGTCGAGCacgN", 1500},
                                         // Runs over many blocks, texts over several chunks of 64 blocks.
                                         Alphabet{"RareStopsLongTexts", "ACGCGACGTCGAGCacgNACGCGACGTCGAGCacgNTAA",
                                                  12000}),
                         [](const testing::TestParamInfo<Alphabet>& alphabet) { return std::string(alphabet.param.name); });

}  // namespace
}  // namespace marlinox::analysis
