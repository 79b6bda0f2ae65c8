// A map from identifiers (byte strings) to GC fractions, built once per call on
// the calling thread and then read by every worker at once. Open addressing in
// one flat array: one allocation, and a lookup touches one or two cache lines,
// where a node-based map allocates per key and chases a pointer per probe.
// The caller supplies each key's hash, and it must be one that nobody outside
// the process can predict (a keyed hash): with linear probing, keys crafted to
// share a hash would make building the table quadratic. Equal keys must come
// with equal hashes. The table views its keys; they must outlive it.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "failure/internal_failure.hpp"

namespace marlinox::analysis {

class IdentifierTable {
public:
    // Room for `expected` distinct keys: the entries are reserved once, and the
    // index is at most half full, so nothing grows while the keys go in. The
    // index holds 8-byte slots because every call pays for its fresh pages: a
    // million identifiers take about 40 MB.
    explicit IdentifierTable(std::size_t expected)
        : slots_(std::bit_ceil(checked(expected) * 2 + 2)),
          shift_(64 - std::countr_zero(static_cast<std::uint64_t>(slots_.size()))) {
        entries_.reserve(expected);
    }

    // Later values replace earlier ones under the same key.
    void insert_or_assign(std::string_view key, std::size_t hash, double value) {
        const Probe probe = locate(key, hash);
        Slot& slot = slots_[probe.slot];
        if (slot.entry != 0) {
            entries_[slot.entry - 1].value = value;
            return;
        }
        entries_.push_back(Entry{key, value});
        slot = Slot{tag(hash), static_cast<std::uint32_t>(entries_.size())};
    }

    const double* find(std::string_view key, std::size_t hash) const noexcept {
        const Slot& slot = slots_[locate(key, hash).slot];
        return slot.entry == 0 ? nullptr : &entries_[slot.entry - 1].value;
    }

    // A lookup follows three links (slot, entry, key bytes), each reached in
    // random order and almost always from memory. A caller that knows the
    // keys to come asks for them in stages, each a few keys before the next:
    // the home slot; then the entry it names (the slot has arrived by then);
    // then the entry's key bytes.
    void prefetch(std::size_t hash) const noexcept { __builtin_prefetch(&slots_[home(hash)]); }
    void prefetch_entry(std::size_t hash) const noexcept {
        if (const Slot& slot = slots_[home(hash)]; slot.entry != 0) __builtin_prefetch(&entries_[slot.entry - 1]);
    }
    void prefetch_key(std::size_t hash) const noexcept {
        if (const Slot& slot = slots_[home(hash)]; slot.entry != 0)
            __builtin_prefetch(entries_[slot.entry - 1].key.data());
    }

    // How many slots a lookup of `key` inspects: how well the hashes spread.
    std::size_t probe_length(std::string_view key, std::size_t hash) const noexcept {
        return locate(key, hash).length;
    }

private:
    struct Entry {
        std::string_view key;
        double value;
    };
    // `entry` is the entry's position + 1 (0: empty); `tag` holds bits of the
    // hash, so most mismatches are settled without touching the entry.
    struct Slot {
        std::uint32_t tag = 0;
        std::uint32_t entry = 0;
    };
    struct Probe {
        std::size_t slot;    // the key's slot, or the empty slot where it belongs
        std::size_t length;  // slots inspected
    };

    Probe locate(std::string_view key, std::size_t hash) const noexcept {
        const std::uint32_t wanted = tag(hash);
        const std::size_t mask = slots_.size() - 1;
        std::size_t length = 1;
        for (std::size_t i = home(hash);; i = (i + 1) & mask, ++length) {
            const Slot& slot = slots_[i];
            if (slot.entry == 0) return Probe{i, length};
            if (slot.tag == wanted && entries_[slot.entry - 1].key == key) return Probe{i, length};
        }
    }

    // Multiplicative spreading: every bit of the hash moves the home slot, so
    // hashes that differ only in their high bits (or, on 32-bit machines, a
    // hash narrower than 64 bits) still spread over the whole index.
    std::size_t home(std::size_t hash) const noexcept {
        return static_cast<std::size_t>((static_cast<std::uint64_t>(hash) * 0x9E3779B97F4A7C15u) >> shift_);
    }
    static std::uint32_t tag(std::size_t hash) noexcept {
        const auto wide = static_cast<std::uint64_t>(hash);
        return static_cast<std::uint32_t>(wide ^ (wide >> 32));
    }
    // Slots number their entries in 32 bits.
    static std::size_t checked(std::size_t expected) {
        if (expected >= UINT32_MAX) fail("too many identifiers for one table");
        return expected;
    }

    std::vector<Slot> slots_;
    int shift_;
    std::vector<Entry> entries_;
};

}  // namespace marlinox::analysis
