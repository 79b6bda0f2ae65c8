// The portable level of the stop scan: plain 64-bit integer code, which finds
// the letters of eight bytes at a time by word arithmetic. Defining
// MARLINOX_PORTABLE_SCAN makes it the selected level on any target, so that it
// can be tested anywhere.

#include <bit>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "analysis/level_kernels.hpp"
#include "analysis/stop_scan_grouped.hpp"
#include "analysis/stop_scan_set.hpp"

namespace marlinox::analysis {
namespace {

using stop_scan::BlockStops;
using stop_scan::Count;
using stop_scan::kBlock;

constexpr std::uint64_t kOnes = 0x0101010101010101u;
constexpr std::uint64_t kLow7 = 0x7F7F7F7F7F7F7F7Fu;
constexpr std::uint64_t kHigh = 0x8080808080808080u;

// Bit k is set when byte k of the block is that letter, in either case.
// `high` is not zero when some byte of the block is 0x80 or above.
struct Letters {
    std::uint64_t t = 0, a = 0, g = 0, c = 0;
    std::uint64_t high = 0;
};

// One bit per byte of `word` (byte i -> bit i) for the bytes equal to `letter`.
MX_INLINE std::uint64_t equal_bytes(std::uint64_t word, unsigned char letter) noexcept {
    const std::uint64_t diff = word ^ (kOnes * letter);
    // High bit of each byte that is zero; exact, no borrow between bytes.
    const std::uint64_t zero = ~(((diff & kLow7) + kLow7) | diff | kLow7);
    // Gather the eight high bits into the top byte, byte i to bit 56 + i.
    return ((zero >> 7) * 0x0102040810204080u) >> 56;
}

MX_INLINE Letters classify(const unsigned char* block) noexcept {
    Letters out;
    MX_UNROLL for (unsigned part = 0; part < kBlock / 8; ++part) {
        std::uint64_t word;
        std::memcpy(&word, block + 8 * part, 8);
        if constexpr (std::endian::native == std::endian::big) word = __builtin_bswap64(word);
        out.high |= word & kHigh;
        word |= kOnes * kFold;
        const unsigned shift = 8 * part;
        out.t |= equal_bytes(word, 't') << shift;
        out.a |= equal_bytes(word, 'a') << shift;
        out.g |= equal_bytes(word, 'g') << shift;
        out.c |= equal_bytes(word, 'c') << shift;
    }
    return out;
}

// Bits of `mask` moved down by `by` positions, the low bits of `next` following.
MX_INLINE std::uint64_t ahead(std::uint64_t mask, std::uint64_t next, unsigned by) noexcept {
    return (mask >> by) | (next << (64 - by));
}

// The block's letter masks, and the letters of the two bytes after it, which
// the last windows read.
template <Count count>
class PortableStops {
public:
    MX_INLINE BlockStops block(const unsigned char* p) noexcept { return stops<true>(p); }
    MX_INLINE BlockStops peek(const unsigned char* p) noexcept { return stops<false>(p); }
    MX_INLINE bool ascii() const noexcept { return high_ == 0; }
    MX_INLINE std::size_t acgt() const noexcept { return acgt_; }
    MX_INLINE std::size_t gc() const noexcept { return gc_; }

private:
    template <bool note>
    MX_INLINE BlockStops stops(const unsigned char* p) noexcept {
        const Letters now = classify(p);
        const auto is = [&](unsigned k, unsigned char letter) {
            return static_cast<std::uint64_t>((p[kBlock + k] | kFold) == letter);
        };
        // Bits 0 and 1: the letters of the two bytes after the block.
        const std::uint64_t next_t = is(0, 't'), next_c = is(0, 'c');
        const std::uint64_t next_a = is(0, 'a') | (is(1, 'a') << 1), next_g = is(0, 'g') | (is(1, 'g') << 1);
        if constexpr (note) {
            high_ |= now.high;
            if constexpr (count != Count::none) gc_ += static_cast<std::size_t>(std::popcount(now.g | now.c));
            if constexpr (count == Count::letters)
                acgt_ += static_cast<std::size_t>(std::popcount(now.t | now.a | now.g | now.c));
        }
        BlockStops out;
        stop_scan::stop_formulas(now.t, now.c, ahead(now.a, next_a, 1), ahead(now.g, next_g, 1),
                                 ahead(now.t, next_t, 1), ahead(now.c, next_c, 1), ahead(now.a, next_a, 2),
                                 ahead(now.g, next_g, 2), out.forward, out.reverse);
        return out;
    }

    std::uint64_t high_ = 0;
    std::size_t acgt_ = 0, gc_ = 0;
};

// The letters of a block for a stop set given at run time.
class PortableLetters {
public:
    template <bool note>
    MX_INLINE stop_scan::BlockLetters letters(const unsigned char* p) noexcept {
        const Letters now = classify(p);
        if constexpr (note) high_ |= now.high;
        return {{now.a, now.c, now.g, now.t}, stop_scan::letters_after(p + kBlock)};
    }
    MX_INLINE bool ascii() const noexcept { return high_ == 0; }

private:
    std::uint64_t high_ = 0;
};

template <Count count>
using PortableSetStops = stop_scan::SetStops<count, PortableLetters>;

}  // namespace

MX_ENTRY AsciiScan stop_scan_portable(std::string_view sequence) noexcept {
    return stop_scan::plain_scan<PortableStops>(sequence);
}
MX_ENTRY AsciiScan stop_scan_with_gc_portable(std::string_view sequence) noexcept {
    return stop_scan::scan_with_gc<PortableStops>(sequence);
}
MX_ENTRY LocatedScan located_scan_portable(std::string_view sequence) noexcept {
    return stop_scan::located_scan<PortableStops>(sequence);
}
MX_ENTRY AsciiScan set_scan_with_gc_portable(std::string_view sequence, CodonSet stops) noexcept {
    return stop_scan::scan_with_gc<PortableSetStops>(sequence, stops);
}
MX_ENTRY LocatedScan located_set_scan_portable(std::string_view sequence, CodonSet stops) noexcept {
    return stop_scan::located_scan<PortableSetStops>(sequence, stops);
}

}  // namespace marlinox::analysis
