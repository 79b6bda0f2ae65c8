// The kinds of failure the command tells apart, one type each; how each one
// travels and what it ends the run with is said in failure_report.hpp.
#pragma once

#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>

#include "command/failures/message_text.hpp"

namespace marlinox::command {

// Bad input, or a file that cannot be read: "FILE:LINE: what" (without the
// line where none applies).
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

// The table could not be written.
class OutputError : public std::runtime_error {
public:
    explicit OutputError(int error)
        : std::runtime_error(std::string("cannot write the table: ") + std::strerror(error)) {}
};

// A stage that stopped because another one failed first; it has nothing to
// report of its own.
struct Cancelled {};

}  // namespace marlinox::command
