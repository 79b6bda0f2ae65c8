// Doubles written the way Python's repr() writes them: the shortest digits
// that read back to the same double, in fixed notation for 1e-4 <= |x| < 1e16
// (always with a fractional part, "1.0"), otherwise as d[.ddd]e+XX / e-XX
// with at least two exponent digits; "nan", "inf" and "-inf".
#pragma once

#include <string>

namespace marlinox::command {

// Longest text append_float_repr can write (e.g. "-2.2250738585072014e-308").
inline constexpr std::size_t kMaxFloatReprLength = 32;

void append_float_repr(std::string& out, double value);

}  // namespace marlinox::command
