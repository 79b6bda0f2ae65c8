// The decoded bytes of one input file, in pieces (open_input.hpp opens one).
#pragma once

#include <cstdint>
#include <string_view>

namespace marlinox::command {

class ByteSource {
public:
    virtual ~ByteSource() = default;
    // The next piece, valid until the next call; empty at the proper end of
    // the input. Every byte decoded before a failure comes first; then it
    // throws StreamError (TrailingData for bytes after the last stream).
    virtual std::string_view next() = 0;
    // Bytes of the file consumed up to the end of the last piece.
    virtual std::uint64_t file_position() const = 0;
};

}  // namespace marlinox::command
