// Doubles written the way Python's repr() writes them: the shortest digits
// that read back to the same double, in fixed notation for 1e-4 <= |x| < 1e16
// (always with a fractional part, "1.0"), otherwise as d[.ddd]e+XX / e-XX
// with at least two exponent digits; "nan", "inf" and "-inf".
#pragma once

#include <cstdint>
#include <string>

namespace marlinox::command {

// Longest text append_float_repr can write (e.g. "-2.2250738585072014e-308").
inline constexpr std::size_t kMaxFloatReprLength = 32;

void append_float_repr(std::string& out, double value);

// The same text written at `to`, which has room for kMaxFloatReprLength
// bytes; returns the end of the text.
char* write_float_repr(char* to, double value) noexcept;

// A count in decimal digits, as the table writes lengths and positions.
inline constexpr std::size_t kMaxCountLength = 20;
void append_count(std::string& out, std::uint64_t value);
char* write_count(char* to, std::uint64_t value) noexcept;

}  // namespace marlinox::command
