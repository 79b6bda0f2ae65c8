// Unicode data of the analysis kernels. The definitions live in
// unicode_tables.cpp, which tools/gen_unicode_tables.py generates from the
// Unicode database of the build's Python interpreter.
#pragma once

#include <cstddef>

namespace marlinox::analysis::unicode {

// Unicode release the tables were generated from, e.g. "16.0.0".
extern const char kUnicodeVersion[];

// Longest full uppercase mapping of one code point, in code points.
inline constexpr std::size_t kMaxUpperLength = 3;

// Writes the default full uppercase mapping of `cp` (context-free, as Python's
// str.upper applies it) to `out` and returns its length, 1 to kMaxUpperLength.
// A code point without an uppercase form maps to itself. `cp` must be a Unicode
// scalar value.
std::size_t to_upper_full(char32_t cp, char32_t out[kMaxUpperLength]) noexcept;

// True for the code points a message writes as \u{hex}: combining marks
// (Grapheme_Extend) and characters that are not printable.
bool is_escaped_in_messages(char32_t cp) noexcept;

}  // namespace marlinox::analysis::unicode
