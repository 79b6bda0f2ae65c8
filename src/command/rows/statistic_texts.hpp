// The texts of a record's log10 probability and evalue, remembered per thread
// by what they derive from. On reads the length, the GC fraction and the run
// take few distinct values together, so most rows find their texts already
// written and skip the logarithm, the evalue's sum and the search for shortest
// digits. (The fields of the default table take few enough values for the
// float text cache, which holds them.)
#pragma once

#include <array>
#include <cstdint>

#include "command/rows/record_values.hpp"

namespace marlinox::command {

enum class Statistic : unsigned char { log10_probability, evalue };
inline constexpr std::size_t kStatisticCount = 2;

// One slot: a cache line.
class alignas(64) StatisticTexts {
public:
    // The slot of this thread for the record's length, GC fraction and run,
    // which determine both statistics (so a remembered text is the one the
    // record's own values give, bit for bit), fetched into the cache ahead of
    // its use; nullptr for a length or run too large for the slot's key.
    static StatisticTexts* slot_for(const RecordValues& values) noexcept;

    // No initializers: the slots start as zeroed pages, without a constructor
    // run for each.
    std::uint64_t gc_bits;
    std::uint32_t length;
    std::uint32_t run;
    // 0: not remembered for this key.
    std::array<std::uint8_t, kStatisticCount> lengths;
    // Every text of these values fits in practice; a longer one is written
    // without being remembered.
    static constexpr std::size_t kMaxTextLength = 23;
    char texts[kStatisticCount][kMaxTextLength];
};

// The text of `which` at `to`, which has room for kMaxFloatReprLength bytes,
// through `slot` (from slot_for, or nullptr); returns the end of the text.
char* write_statistic(char* to, Statistic which, const RecordValues& values, StatisticTexts* slot) noexcept;

}  // namespace marlinox::command
