// What a stream is, from its first bytes: one table of signatures, consulted
// for the first stream of a file and for every stream that follows one, and
// for the first bytes a decoder gives. A name never decides.
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>

namespace marlinox::command {

enum class Encoding : unsigned char { plain, gzip, bzip2, xz, zstd };

// Bytes to look at: the longest signature.
inline constexpr std::size_t kSignatureLength = 6;

struct Recognised {
    Encoding encoding = Encoding::plain;
    // A format that holds sequences but not as FASTA or FASTQ: the message
    // it is refused with.
    std::optional<std::string_view> refusal;
};

// What the bytes `start` (at least kSignatureLength of them where the stream
// has that many) begin: plain when they match no signature.
Recognised recognise(std::string_view start) noexcept;

// `start` begins `encoding`'s next stream (for bzip2, xz and zstd) or member
// (for gzip).
inline bool starts_stream(std::string_view start, Encoding encoding) noexcept {
    return recognise(start).encoding == encoding;
}

}  // namespace marlinox::command
