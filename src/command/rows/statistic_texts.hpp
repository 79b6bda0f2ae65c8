// The texts of a record's log10 probability and evalue, remembered per thread
// by what they derive from. On reads the length, the GC fraction and the run
// take few distinct values together, so most rows find their texts already
// written and skip the logarithm, the evalue's sum and the search for shortest
// digits. (The fields of the default table take few enough values for the
// float text cache, which holds them.)
#pragma once

#include <array>
#include <cstdint>

#include "command/rows/float_repr.hpp"
#include "command/rows/record_values.hpp"

namespace marlinox::command {

enum class Statistic : unsigned char { log10_probability, evalue };
inline constexpr std::size_t kStatisticCount = 2;

class StatisticTexts {
public:
    // This thread's texts for the record's length, GC fraction and run; those
    // three determine every statistic, so a remembered text is the one the
    // record's own values would give, bit for bit.
    static StatisticTexts& remembered_for(const RecordValues& values) noexcept;

    // The text of `which` at `to`, which has room for kMaxFloatReprLength
    // bytes; returns the end of the text.
    char* write(char* to, Statistic which, const RecordValues& values) noexcept;

    // The longest text of a double: a sign, 17 digits, the point and "e-308".
    static constexpr std::size_t kMaxTextLength = 24;

private:
    bool holds(const RecordValues& values) const noexcept;

    // No initializers: the slots are thread_local, zeroed without a per-thread
    // constructor run on first use (an all-zero slot is the record of length 0
    // with nothing written yet).
    std::uint64_t gc_bits_;
    std::uint64_t length_;
    std::uint64_t run_;
    // 0: not written yet for this key.
    std::array<std::uint8_t, kStatisticCount> lengths_;
    char texts_[kStatisticCount][kMaxTextLength];
};

}  // namespace marlinox::command
