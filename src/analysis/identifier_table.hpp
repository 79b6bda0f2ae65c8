// A map from identifiers (byte strings) to GC fractions, built once per call on
// the calling thread and then read by every worker at once. Open addressing in
// one flat array: one allocation, and a lookup touches one or two cache lines,
// where a node-based map allocates per key and chases a pointer per probe.
// The table views its keys; they must outlive it.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <vector>

namespace marlinox::analysis {

class IdentifierTable {
public:
    explicit IdentifierTable(std::size_t expected)
        : slots_(std::bit_ceil(expected * 2 + 2)), mask_(slots_.size() - 1) {}

    // Later values replace earlier ones under the same key.
    void insert_or_assign(std::string_view key, double value) {
        const std::uint64_t h = hash(key);
        for (std::size_t i = index(h);; i = (i + 1) & mask_) {
            Slot& slot = slots_[i];
            if (!slot.used) {
                slot = Slot{key, value, h, true};
                return;
            }
            if (slot.hash == h && slot.key == key) {
                slot.value = value;
                return;
            }
        }
    }

    const double* find(std::string_view key) const noexcept {
        const std::uint64_t h = hash(key);
        for (std::size_t i = index(h);; i = (i + 1) & mask_) {
            const Slot& slot = slots_[i];
            if (!slot.used) return nullptr;
            if (slot.hash == h && slot.key == key) return &slot.value;
        }
    }

private:
    struct Slot {
        std::string_view key;
        double value = 0.0;
        std::uint64_t hash = 0;
        bool used = false;
    };

    // Eight bytes at a time, each word mixed in by a multiply; the top bits of
    // the final mix pick the slot.
    static std::uint64_t hash(std::string_view key) noexcept {
        constexpr std::uint64_t k = 0x9E3779B97F4A7C15u;
        std::uint64_t h = key.size() * k;
        std::size_t i = 0;
        for (; i + 8 <= key.size(); i += 8) {
            std::uint64_t word;
            std::memcpy(&word, key.data() + i, 8);
            h = (h ^ word) * k;
            h ^= h >> 29;
        }
        std::uint64_t last = 0;
        if (i < key.size()) std::memcpy(&last, key.data() + i, key.size() - i);
        h = (h ^ last) * k;
        return h ^ (h >> 32);
    }
    std::size_t index(std::uint64_t h) const noexcept { return static_cast<std::size_t>(h) & mask_; }

    std::vector<Slot> slots_;
    std::size_t mask_;
};

}  // namespace marlinox::analysis
