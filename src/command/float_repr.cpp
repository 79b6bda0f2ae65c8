#include "command/float_repr.hpp"

#include <charconv>
#include <cmath>
#include <cstdlib>
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
    const std::string_view text(sci, static_cast<std::size_t>(sci_end - sci));

    const std::size_t e_at = text.find('e');
    const bool negative = text.front() == '-';
    std::string_view mantissa = text.substr(negative ? 1 : 0, e_at - (negative ? 1 : 0));
    int exponent = 0;
    std::from_chars(text.data() + e_at + 1 + (text[e_at + 1] == '+' ? 1 : 0), text.data() + text.size(),
                    exponent);

    char digits[20];
    std::size_t count = 0;
    for (char c : mantissa)
        if (c != '.') digits[count++] = c;

    if (negative) out += '-';
    if (exponent < -4 || exponent >= 16) {
        out += digits[0];
        if (count > 1) {
            out += '.';
            out.append(digits + 1, count - 1);
        }
        out += exponent < 0 ? "e-" : "e+";
        const int magnitude = std::abs(exponent);
        if (magnitude < 10) out += '0';
        out += std::to_string(magnitude);
        return;
    }
    if (exponent < 0) {
        out += "0.";
        out.append(static_cast<std::size_t>(-exponent - 1), '0');
        out.append(digits, count);
        return;
    }
    // Digits before the point: exponent + 1, padded with zeros when the
    // shortest form has fewer digits than that.
    const auto integer_digits = static_cast<std::size_t>(exponent) + 1;
    if (count <= integer_digits) {
        out.append(digits, count);
        out.append(integer_digits - count, '0');
        out += ".0";
    } else {
        out.append(digits, integer_digits);
        out += '.';
        out.append(digits + integer_digits, count - integer_digits);
    }
}

void append_count(std::string& out, std::uint64_t value) {
    char digits[24];
    const auto result = std::to_chars(digits, digits + sizeof digits, value);
    out.append(digits, result.ptr);
}

}  // namespace marlinox::command
