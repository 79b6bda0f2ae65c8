#include "command/rows/statistic_texts.hpp"

#include <bit>
#include <cstring>
#include <type_traits>

namespace marlinox::command {
namespace {

double statistic(Statistic which, const RecordValues& values) noexcept {
    switch (which) {
        case Statistic::log10_probability: return values.log10_probability();
        case Statistic::evalue: return values.evalue();
    }
    return values.evalue();
}

// Direct-mapped: 4096 slots of 80 bytes hold most of the pairs of GC
// fraction and run that a million reads of one length take (1353 on 150-base
// reads), and stay within a core's L2.
constexpr unsigned kSlotBits = 12;
static_assert(sizeof(StatisticTexts) <= 80 && std::is_trivially_default_constructible_v<StatisticTexts>);
thread_local StatisticTexts slots[std::size_t{1} << kSlotBits];

}  // namespace

StatisticTexts& StatisticTexts::remembered_for(const RecordValues& values) noexcept {
    const std::uint64_t gc_bits = std::bit_cast<std::uint64_t>(values.gc_fraction);
    const std::uint64_t mixed = (gc_bits ^ (values.length * 0xC2B2AE3D27D4EB4Fu)) + values.stop_free_run();
    StatisticTexts& slot = slots[(mixed * 0x9E3779B97F4A7C15u) >> (64 - kSlotBits)];
    if (!slot.holds(values)) {
        slot.gc_bits_ = gc_bits;
        slot.length_ = values.length;
        slot.run_ = values.stop_free_run();
        slot.lengths_ = {};
    }
    return slot;
}

bool StatisticTexts::holds(const RecordValues& values) const noexcept {
    return gc_bits_ == std::bit_cast<std::uint64_t>(values.gc_fraction) && length_ == values.length &&
           run_ == values.stop_free_run();
}

char* StatisticTexts::write(char* to, Statistic which, const RecordValues& values) noexcept {
    const auto k = static_cast<std::size_t>(which);
    if (lengths_[k] == 0) {
        char text[kMaxFloatReprLength];
        lengths_[k] = static_cast<std::uint8_t>(write_float_repr(text, statistic(which, values)) - text);
        std::memcpy(texts_[k], text, kMaxTextLength);
    }
    std::memcpy(to, texts_[k], kMaxTextLength);
    return to + lengths_[k];
}

}  // namespace marlinox::command
