#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "analysis/identifier_table.hpp"

namespace marlinox::analysis {
namespace {

TEST(IdentifierTable, FindsEveryKeyByExactBytesAndTheLastValueWins) {
    // Keys that share long prefixes, differ only past the first 8 bytes, only
    // in length, or hold NUL bytes; then enough keys to force long probe chains.
    std::vector<std::string> keys = {"", "a", "a\0", "a\0\0", "read_0000001", "read_0000002",
                                     "12345678", "123456789", std::string(100, 'x')};
    keys[2] = std::string("a\0", 2);
    keys[3] = std::string("a\0\0", 3);
    for (int i = 0; i < 5000; ++i) keys.push_back("r" + std::to_string(i));
    IdentifierTable table(keys.size());
    for (std::size_t i = 0; i < keys.size(); ++i) table.insert_or_assign(keys[i], -1.0);
    for (std::size_t i = 0; i < keys.size(); ++i) table.insert_or_assign(keys[i], static_cast<double>(i));
    for (std::size_t i = 0; i < keys.size(); ++i) {
        const double* found = table.find(keys[i]);
        ASSERT_NE(found, nullptr) << keys[i];
        EXPECT_EQ(*found, static_cast<double>(i)) << keys[i];
    }
    for (const std::string& missing : std::vector<std::string>{"b", "r5000", "read_0000003", std::string(101, 'x')})
        EXPECT_EQ(table.find(missing), nullptr) << missing;
}

TEST(IdentifierTable, AnEmptyTableFindsNothing) {
    const IdentifierTable table(0);
    EXPECT_EQ(table.find(""), nullptr);
    EXPECT_EQ(table.find("r1"), nullptr);
}

}  // namespace
}  // namespace marlinox::analysis
