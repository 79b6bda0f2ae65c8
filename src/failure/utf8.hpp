// UTF-8 decoding, encoding and repair, for the analysis kernels and for the
// texts of messages. Kept beside the failure type, on the floor that both the
// kernels and the Python layer stand on.
//
// Sequences reach the kernels as the UTF-8 encoding of Python strings, so they
// are well-formed in practice; the decoder still accepts any bytes, because the
// kernels must never read out of bounds whatever they are given. A byte that
// does not start a well-formed sequence (a stray continuation byte, a truncated
// or overlong sequence, an encoded surrogate, a value above U+10FFFF, 0xF5 to
// 0xFF) is a character of its own, one byte long, that is not a code point.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace marlinox::utf8 {

inline bool is_continuation(unsigned char byte) noexcept { return (byte & 0xC0) == 0x80; }

struct Char {
    char32_t cp;         // the code point; the byte value itself when !valid
    std::size_t length;  // 1 to 4 bytes
    bool valid;          // false for an invalid byte (always one byte long)
};

// Decodes the character that starts at `pos`; requires pos < text.size().
inline Char decode(std::string_view text, std::size_t pos) noexcept {
    const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[pos + k]); };
    const unsigned char b0 = byte(0);
    if (b0 < 0x80) return {b0, 1, true};
    const Char invalid{b0, 1, false};

    std::size_t length;
    char32_t cp;
    unsigned char lo = 0x80, hi = 0xBF;  // allowed range of the second byte
    if (b0 >= 0xC2 && b0 <= 0xDF) {
        length = 2, cp = b0 & 0x1Fu;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
        length = 3, cp = b0 & 0x0Fu;
        if (b0 == 0xE0) lo = 0xA0;  // overlong
        if (b0 == 0xED) hi = 0x9F;  // surrogates
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
        length = 4, cp = b0 & 0x07u;
        if (b0 == 0xF0) lo = 0x90;  // overlong
        if (b0 == 0xF4) hi = 0x8F;  // above U+10FFFF
    } else {
        return invalid;
    }
    if (text.size() - pos < length) return invalid;
    const unsigned char b1 = byte(1);
    if (b1 < lo || b1 > hi) return invalid;
    cp = (cp << 6) | (b1 & 0x3Fu);
    for (std::size_t k = 2; k < length; ++k) {
        const unsigned char b = byte(k);
        if (!is_continuation(b)) return invalid;
        cp = (cp << 6) | (b & 0x3Fu);
    }
    return {cp, length, true};
}

// Start and character of the character that holds byte `pos` (pos < size):
// the well-formed sequence that covers it, else the byte itself.
struct Located {
    std::size_t start;
    Char ch;
};

inline Located locate(std::string_view text, std::size_t pos) noexcept {
    std::size_t start = pos;
    // A well-formed character is a lead byte and at most three continuation bytes.
    while (start > 0 && pos - start < 3 &&
           is_continuation(static_cast<unsigned char>(text[start])))
        --start;
    const Char ch = decode(text, start);
    if (ch.valid && start + ch.length > pos) return {start, ch};
    return {pos, decode(text, pos)};
}

// Appends the UTF-8 encoding of the scalar value `cp`.
inline void append(std::string& out, char32_t cp) {
    const auto put = [&](char32_t bits) { out.push_back(static_cast<char>(bits)); };
    if (cp < 0x80) {
        put(cp);
    } else if (cp < 0x800) {
        put(0xC0 | (cp >> 6));
        put(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        put(0xE0 | (cp >> 12));
        put(0x80 | ((cp >> 6) & 0x3F));
        put(0x80 | (cp & 0x3F));
    } else {
        put(0xF0 | (cp >> 18));
        put(0x80 | ((cp >> 12) & 0x3F));
        put(0x80 | ((cp >> 6) & 0x3F));
        put(0x80 | (cp & 0x3F));
    }
}

// `bytes` as valid UTF-8: every byte that starts no well-formed character
// becomes U+FFFD (an encoded lone surrogate becomes three of them).
inline std::string repair(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size());
    for (std::size_t pos = 0; pos < bytes.size();) {
        const Char ch = decode(bytes, pos);
        if (ch.valid)
            out.append(bytes.substr(pos, ch.length));
        else
            append(out, U'\uFFFD');
        pos += ch.length;
    }
    return out;
}

}  // namespace marlinox::utf8
