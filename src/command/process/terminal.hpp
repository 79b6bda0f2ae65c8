// Standard output and standard error: whole writes, and one lock that every
// writer takes so that neither an interruption nor the progress line ever
// cuts a row or an error line in half, unless the output stops taking the
// bytes (process/exit_on_signals.hpp).
#pragma once

#include <cstdint>
#include <mutex>
#include <string_view>

namespace marlinox::command {

std::timed_mutex& terminal_mutex();

// Writes all of `bytes` to `fd`, continuing after partial writes and
// interrupted calls. Returns 0, or the errno of the failed write.
int write_all(int fd, std::string_view bytes) noexcept;

// The bytes every write_all has written so far. Each write(2) is at most a
// pipe's capacity, so that a count that stays put tells a writer stuck on a
// reader that has stopped reading from one whose output flows.
std::uint64_t bytes_written() noexcept;

// Opens /dev/null in place of a closed standard input, output or error, so
// that no descriptor of the command's own takes their numbers; each is opened
// the other way round (standard output for reading), so that using it fails
// as using the closed one would (EBADF).
void hold_standard_descriptors();

// Writes "error: <what>\n" to standard error.
void report_error(std::string_view what);

// Clears a progress line from standard error; the caller holds terminal_mutex.
void clear_progress_line_locked() noexcept;
// The same for a caller that could not take terminal_mutex because its holder
// is stuck in a write: clears the line only if standard error takes it at
// once, since the stuck write may be the holder's own on standard error.
void clear_progress_line_unless_stuck() noexcept;
void set_progress_line_shown(bool shown) noexcept;

}  // namespace marlinox::command
