// The internal failure: a condition under which native code stops the current
// operation at once. It is a C++ exception, so unwinding releases everything the
// abandoned work holds; the call entry and the module execution function catch
// it and turn it into Python's PanicException. This header includes no Python
// header: kernels and worker threads start failures too.
#pragma once

#include <exception>
#include <source_location>
#include <string>
#include <string_view>

namespace marlinox {

class InternalFailure : public std::exception {
public:
    explicit InternalFailure(std::string message) noexcept : message_(std::move(message)) {}
    const char* what() const noexcept override { return message_.c_str(); }
    const std::string& message() const noexcept { return message_; }

private:
    std::string message_;
};

// Writes one diagnostic to file descriptor 2 (thread name, source location,
// message; after the first diagnostic of the process a hint on how to get a
// stack trace) and throws InternalFailure carrying the message.
[[noreturn]] void fail(std::string message,
                       std::source_location where = std::source_location::current());

// From now on fail() writes no diagnostic: for programs that report the
// failure's message themselves, in their own words.
void silence_failure_diagnostics() noexcept;

// Throws InternalFailure without writing a diagnostic: continues a failure
// whose diagnostic has already been written elsewhere.
[[noreturn]] void resume_failure(std::string message);

// Writes `text` to file descriptor 2 unbuffered, so that it is out before an
// abort; gives up silently when the stream is gone.
void write_stderr(std::string_view text) noexcept;

}  // namespace marlinox
