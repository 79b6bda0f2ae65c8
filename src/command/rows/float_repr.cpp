#include "command/rows/float_repr.hpp"

#include <bit>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <system_error>

#include "command/rows/thread_table.hpp"

namespace marlinox::command {

void append_float_repr(std::string& out, double value) {
    char text[kMaxFloatReprLength];
    out.append(text, static_cast<std::size_t>(write_float_repr(text, value) - text));
}

namespace {

char* format_float_repr(char* to, double value) noexcept {
    const auto put = [&to](const char* from, std::size_t n) {
        std::memcpy(to, from, n);
        to += n;
    };
    if (std::isnan(value)) {
        put("nan", 3);
        return to;
    }
    if (std::isinf(value)) {
        if (value < 0) *to++ = '-';
        put("inf", 3);
        return to;
    }
    // Shortest round-trip digits in scientific form, "-d.ddde-XX", which is
    // already Python's form outside the fixed range.
    char sci[kMaxFloatReprLength];
    const auto [sci_end, error] = std::to_chars(sci, sci + sizeof sci, value, std::chars_format::scientific);
    if (error != std::errc{}) std::abort();  // the buffer fits every double
    const char* e_at = sci_end - 1;
    while (*e_at != 'e') --e_at;
    int magnitude = 0;
    for (const char* at = e_at + 2; at != sci_end; ++at) magnitude = magnitude * 10 + (*at - '0');
    const int exponent = e_at[1] == '-' ? -magnitude : magnitude;
    if (exponent < -4 || exponent >= 16) {
        put(sci, static_cast<std::size_t>(sci_end - sci));
        return to;
    }

    const char* first = sci;
    if (*first == '-') *to++ = *first++;
    // The digits are *first, then [fraction, e_at).
    const char* fraction = first[1] == '.' ? first + 2 : first + 1;
    const auto fraction_digits = static_cast<std::size_t>(e_at - fraction);
    if (exponent < 0) {
        *to++ = '0';
        *to++ = '.';
        for (int k = 1; k < -exponent; ++k) *to++ = '0';
        *to++ = *first;
        put(fraction, fraction_digits);
        return to;
    }
    // Digits before the point: exponent + 1, padded with zeros when the
    // shortest form has fewer digits than that.
    const auto after_first = static_cast<std::size_t>(exponent);
    *to++ = *first;
    if (fraction_digits <= after_first) {
        put(fraction, fraction_digits);
        for (std::size_t k = fraction_digits; k < after_first; ++k) *to++ = '0';
        *to++ = '.';
        *to++ = '0';
    } else {
        put(fraction, after_first);
        *to++ = '.';
        put(fraction + after_first, fraction_digits - after_first);
    }
    return to;
}

// The texts of recently written values, per thread: a table of reads holds
// few distinct values (a fraction of 150 bases takes at most 151), and looking
// one up costs a fraction of finding its shortest digits again. Direct-mapped
// on the value's bits; a slot with length 0 is empty.
struct CachedText {
    std::uint64_t bits;
    std::uint8_t length;
    char text[kMaxFloatReprLength - 1];
};
static_assert(kMaxFloatReprLength - 1 <= 255);
constexpr unsigned kCacheBits = 12;

}  // namespace

char* write_float_repr(char* to, double value) noexcept {
    CachedText* const cache = thread_table<CachedText, std::size_t{1} << kCacheBits>();
    if (cache == nullptr) return format_float_repr(to, value);
    const auto bits = std::bit_cast<std::uint64_t>(value);
    CachedText& slot = cache[(bits * 0x9E3779B97F4A7C15u) >> (64 - kCacheBits)];
    if (slot.bits != bits || slot.length == 0) {
        char* const end = format_float_repr(slot.text, value);
        slot.bits = bits;
        slot.length = static_cast<std::uint8_t>(end - slot.text);
    }
    std::memcpy(to, slot.text, sizeof slot.text);
    return to + slot.length;
}

void append_count(std::string& out, std::uint64_t value) {
    char digits[kMaxCountLength];
    out.append(digits, write_count(digits, value));
}

char* write_count(char* to, std::uint64_t value) noexcept {
    // Most counts of a table of reads (lengths, runs, positions, frames) are
    // below 1000, where digits by division by constants cost a fraction of
    // to_chars' general path.
    const auto digit = [](std::uint64_t d) { return static_cast<char>('0' + d); };
    if (value < 10) {
        to[0] = digit(value);
        return to + 1;
    }
    if (value < 100) {
        to[0] = digit(value / 10);
        to[1] = digit(value % 10);
        return to + 2;
    }
    if (value < 1000) {
        to[0] = digit(value / 100);
        to[1] = digit(value / 10 % 10);
        to[2] = digit(value % 10);
        return to + 3;
    }
    return std::to_chars(to, to + kMaxCountLength, value).ptr;
}

}  // namespace marlinox::command
