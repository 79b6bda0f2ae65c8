// Problems with the input: reported as "error: FILE:LINE: what" (or without the
// line where none applies) with exit status 2.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

namespace marlinox::command {

// `text` fit for a one-line message: LF, TAB, CR and backslash as \n, \t, \r
// and \\, every other byte below 0x20 and 0x7F as \xHH; the rest unchanged.
std::string escaped_for_message(std::string_view text);

class InputError : public std::runtime_error {
public:
    InputError(std::string file, std::uint64_t line, const std::string& what)
        : std::runtime_error(what), file_(std::move(file)), line_(line) {}

    const std::string& file() const noexcept { return file_; }
    std::uint64_t line() const noexcept { return line_; }  // 0: no line applies

    std::string describe() const {
        return escaped_for_message(file_) + (line_ != 0 ? ":" + std::to_string(line_) : std::string()) + ": " + what();
    }

private:
    std::string file_;
    std::uint64_t line_;
};

// A byte stream that turned out corrupt or truncated; the reader knows the
// file and line and turns it into an InputError.
class StreamError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Bytes after the proper end of the last compressed stream: everything before
// them was decoded whole, so the last record is complete.
class TrailingData : public StreamError {
public:
    using StreamError::StreamError;
};

}  // namespace marlinox::command
