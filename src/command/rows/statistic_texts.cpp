#include "command/rows/statistic_texts.hpp"

#include <bit>
#include <cstring>
#include <limits>
#include <type_traits>

#include "command/rows/float_repr.hpp"
#include "command/rows/thread_table.hpp"

namespace marlinox::command {
namespace {

double statistic(Statistic which, const RecordValues& values) noexcept {
    switch (which) {
        case Statistic::log10_probability: return values.log10_probability();
        case Statistic::evalue: return values.evalue();
    }
    return values.evalue();
}

// Direct-mapped: 4096 slots hold most of the pairs of GC fraction and run that
// a million reads of one length take (1353 on 150-base reads), and stay within
// a core's L2.
constexpr unsigned kSlotBits = 12;
static_assert(sizeof(StatisticTexts) == 64 && std::is_trivially_default_constructible_v<StatisticTexts>);

bool holds(const StatisticTexts& slot, const RecordValues& values) noexcept {
    return slot.gc_bits == std::bit_cast<std::uint64_t>(values.gc_fraction) && slot.length == values.length &&
           slot.run == values.stop_free_run();
}

}  // namespace

StatisticTexts* StatisticTexts::slot_for(const RecordValues& values) noexcept {
    constexpr auto kLargest = std::numeric_limits<std::uint32_t>::max();
    if (values.length > kLargest || values.stop_free_run() > kLargest) return nullptr;
    StatisticTexts* const slots = thread_table<StatisticTexts, std::size_t{1} << kSlotBits>();
    if (slots == nullptr) return nullptr;
    const std::uint64_t gc_bits = std::bit_cast<std::uint64_t>(values.gc_fraction);
    const std::uint64_t mixed = (gc_bits ^ (values.length * 0xC2B2AE3D27D4EB4Fu)) + values.stop_free_run();
    StatisticTexts* const slot = &slots[(mixed * 0x9E3779B97F4A7C15u) >> (64 - kSlotBits)];
    __builtin_prefetch(slot, 1);
    return slot;
}

char* write_statistic(char* to, Statistic which, const RecordValues& values, StatisticTexts* slot) noexcept {
    if (slot == nullptr) return write_float_repr(to, statistic(which, values));
    if (!holds(*slot, values)) {
        slot->gc_bits = std::bit_cast<std::uint64_t>(values.gc_fraction);
        slot->length = static_cast<std::uint32_t>(values.length);
        slot->run = static_cast<std::uint32_t>(values.stop_free_run());
        slot->lengths = {};
    }
    const auto k = static_cast<std::size_t>(which);
    if (slot->lengths[k] == 0) {
        char* const end = write_float_repr(to, statistic(which, values));
        const auto length = static_cast<std::size_t>(end - to);
        if (length <= StatisticTexts::kMaxTextLength) {
            std::memcpy(slot->texts[k], to, length);
            slot->lengths[k] = static_cast<std::uint8_t>(length);
        }
        return end;
    }
    std::memcpy(to, slot->texts[k], StatisticTexts::kMaxTextLength);
    return to + slot->lengths[k];
}

}  // namespace marlinox::command
