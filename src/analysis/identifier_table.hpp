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
#include <stdexcept>
#include <string_view>
#include <vector>

namespace marlinox::analysis {

class IdentifierTable {
public:
    // Room for `expected` distinct keys: the entries are reserved once, and the
    // index of 8-byte slots is at most half full, so nothing grows while the
    // keys go in. Small slots matter: for a million identifiers the whole table
    // is about 40 MB, where 40-byte slots cost 170 MB of fresh pages per call.
    explicit IdentifierTable(std::size_t expected)
        : slots_(std::bit_ceil(checked(expected) * 2 + 2)), mask_(slots_.size() - 1) {
        entries_.reserve(expected);
    }

    // Later values replace earlier ones under the same key.
    void insert_or_assign(std::string_view key, double value) {
        const std::uint64_t h = hash(key);
        for (std::size_t i = index(h);; i = (i + 1) & mask_) {
            Slot& slot = slots_[i];
            if (slot.entry == 0) {
                entries_.push_back(Entry{key, value});
                slot = Slot{tag(h), static_cast<std::uint32_t>(entries_.size())};
                return;
            }
            Entry& entry = entries_[slot.entry - 1];
            if (slot.tag == tag(h) && entry.key == key) {
                entry.value = value;
                return;
            }
        }
    }

    const double* find(std::string_view key) const noexcept {
        const std::uint64_t h = hash(key);
        for (std::size_t i = index(h);; i = (i + 1) & mask_) {
            const Slot& slot = slots_[i];
            if (slot.entry == 0) return nullptr;
            const Entry& entry = entries_[slot.entry - 1];
            if (slot.tag == tag(h) && entry.key == key) return &entry.value;
        }
    }

private:
    struct Entry {
        std::string_view key;
        double value;
    };
    // `entry` is the entry's position + 1 (0: empty); `tag` holds high bits of
    // the hash, so most mismatches are settled without touching the entry.
    struct Slot {
        std::uint32_t tag = 0;
        std::uint32_t entry = 0;
    };

    // Eight bytes at a time, each word mixed in by a multiply.
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
    // Slots number their entries in 32 bits.
    static std::size_t checked(std::size_t expected) {
        if (expected >= UINT32_MAX) throw std::length_error("too many identifiers for one table");
        return expected;
    }
    std::size_t index(std::uint64_t h) const noexcept { return static_cast<std::size_t>(h) & mask_; }
    static std::uint32_t tag(std::uint64_t h) noexcept { return static_cast<std::uint32_t>(h >> 40); }

    std::vector<Slot> slots_;
    std::size_t mask_;
    std::vector<Entry> entries_;
};

}  // namespace marlinox::analysis
