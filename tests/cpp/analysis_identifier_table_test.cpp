#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "analysis/identifier_table.hpp"

namespace marlinox::analysis {
namespace {

std::size_t string_hash(std::string_view key) { return std::hash<std::string_view>{}(key); }
// Every key collides: only the key comparison tells them apart.
std::size_t same_hash(std::string_view) { return 7; }

class IdentifierTableWithHash : public testing::TestWithParam<std::size_t (*)(std::string_view)> {};

TEST_P(IdentifierTableWithHash, FindsEveryKeyByExactBytesAndTheLastValueWins) {
    const auto hash = GetParam();
    // Keys that share long prefixes, differ only past the first 8 bytes, only
    // in length, or hold NUL bytes; then enough keys to force long probe chains.
    std::vector<std::string> keys = {"", "a", "a\0", "a\0\0", "read_0000001", "read_0000002",
                                     "12345678", "123456789", std::string(100, 'x')};
    keys[2] = std::string("a\0", 2);
    keys[3] = std::string("a\0\0", 3);
    const int extra = hash == same_hash ? 300 : 5000;
    for (int i = 0; i < extra; ++i) keys.push_back("r" + std::to_string(i));
    IdentifierTable table(keys.size());
    for (std::size_t i = 0; i < keys.size(); ++i) table.insert_or_assign(keys[i], hash(keys[i]), -1.0);
    for (std::size_t i = 0; i < keys.size(); ++i)
        table.insert_or_assign(keys[i], hash(keys[i]), static_cast<double>(i));
    for (std::size_t i = 0; i < keys.size(); ++i) {
        const double* found = table.find(keys[i], hash(keys[i]));
        ASSERT_NE(found, nullptr) << keys[i];
        EXPECT_EQ(*found, static_cast<double>(i)) << keys[i];
    }
    for (const std::string& missing :
         std::vector<std::string>{"b", "r" + std::to_string(extra), "read_0000003", std::string(101, 'x')})
        EXPECT_EQ(table.find(missing, hash(missing)), nullptr) << missing;
}

INSTANTIATE_TEST_SUITE_P(Hashes, IdentifierTableWithHash, testing::Values(string_hash, same_hash),
                         [](const auto& param) { return param.index == 0 ? "spread" : "all_equal"; });

TEST(IdentifierTable, AnEmptyTableFindsNothing) {
    const IdentifierTable table(0);
    EXPECT_EQ(table.find("", 0), nullptr);
    EXPECT_EQ(table.find("r1", string_hash("r1")), nullptr);
}

// Distinct hashes keep lookups short wherever their differing bits are: only
// in the high bits, the low bits all equal, as a table that indexes by the
// low bits alone would pile them into one probe chain.
class IdentifierTableProbes : public testing::TestWithParam<int> {};

TEST_P(IdentifierTableProbes, DistinctHashesGiveShortProbeChains) {
    const int shift = GetParam();
    constexpr std::size_t count = 4096;
    std::vector<std::string> keys;
    for (std::size_t i = 0; i < count; ++i) keys.push_back("id" + std::to_string(i));
    auto hash = [shift](std::size_t i) { return (i + 1) << shift; };
    IdentifierTable table(count);
    for (std::size_t i = 0; i < count; ++i) table.insert_or_assign(keys[i], hash(i), 0.5);
    std::size_t total = 0;
    for (std::size_t i = 0; i < count; ++i) total += table.probe_length(keys[i], hash(i));
    // A half-full table probes about 1.5 slots per hit; one chain would need ~2000.
    EXPECT_LT(total, 3 * count);
}

INSTANTIATE_TEST_SUITE_P(Shifts, IdentifierTableProbes,
                         testing::Values(0, 12, static_cast<int>(8 * sizeof(std::size_t)) - 13));

}  // namespace
}  // namespace marlinox::analysis
