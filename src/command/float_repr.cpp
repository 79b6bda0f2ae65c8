#include "command/float_repr.hpp"

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <system_error>

namespace marlinox::command {

void append_float_repr(std::string& out, double value) {
    if (std::isnan(value)) {
        out += "nan";
        return;
    }
    if (std::isinf(value)) {
        out += value < 0 ? "-inf" : "inf";
        return;
    }
    // Shortest round-trip digits in scientific form: "-d.ddde-XX".
    char sci[kMaxFloatReprLength];
    const auto [sci_end, error] = std::to_chars(sci, sci + sizeof sci, value, std::chars_format::scientific);
    if (error != std::errc{}) std::abort();  // the buffer fits every double
    const char* at = sci;
    // The result is built here and appended once: appending piece by piece
    // costs more than the digits themselves.
    char text[kMaxFloatReprLength + 8];
    char* to = text;
    if (*at == '-') *to++ = *at++;
    char digits[20];
    std::size_t count = 0;
    for (; *at != 'e'; ++at)
        if (*at != '.') digits[count++] = *at;
    ++at;  // 'e'
    const bool negative_exponent = *at++ == '-';
    int magnitude = 0;
    for (; at != sci_end; ++at) magnitude = magnitude * 10 + (*at - '0');
    const int exponent = negative_exponent ? -magnitude : magnitude;

    const auto put = [&to](const char* from, std::size_t n) {
        std::memcpy(to, from, n);
        to += n;
    };
    if (exponent < -4 || exponent >= 16) {
        *to++ = digits[0];
        if (count > 1) {
            *to++ = '.';
            put(digits + 1, count - 1);
        }
        *to++ = 'e';
        *to++ = negative_exponent ? '-' : '+';
        if (magnitude >= 100) *to++ = static_cast<char>('0' + magnitude / 100);
        *to++ = static_cast<char>('0' + magnitude / 10 % 10);
        *to++ = static_cast<char>('0' + magnitude % 10);
    } else if (exponent < 0) {
        *to++ = '0';
        *to++ = '.';
        for (int k = 1; k < -exponent; ++k) *to++ = '0';
        put(digits, count);
    } else {
        // Digits before the point: exponent + 1, padded with zeros when the
        // shortest form has fewer digits than that.
        const auto integer_digits = static_cast<std::size_t>(exponent) + 1;
        if (count <= integer_digits) {
            put(digits, count);
            for (std::size_t k = count; k < integer_digits; ++k) *to++ = '0';
            *to++ = '.';
            *to++ = '0';
        } else {
            put(digits, integer_digits);
            *to++ = '.';
            put(digits + integer_digits, count - integer_digits);
        }
    }
    out.append(text, static_cast<std::size_t>(to - text));
}

void append_count(std::string& out, std::uint64_t value) {
    char digits[24];
    const auto result = std::to_chars(digits, digits + sizeof digits, value);
    out.append(digits, result.ptr);
}

}  // namespace marlinox::command
